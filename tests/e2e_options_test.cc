// The program end to end with its options: --help, --version and --info.
#include "e2e_fixture.h"

namespace kv2pelmo::test {
namespace {

using Options = EndToEndTest;

TEST_F(Options, HelpAndVersionAloneAnswerAndOtherwiseAreNames) {
  for (const char* help : {"--help", "-h"}) {
    const ProgramResult result = Run({help});
    EXPECT_EQ(result.out.rfind(kBanner + "Usage:   kv2pelmo <kv_mcu_file>", 0), 0u) << help;
    EXPECT_NE(result.out.find("\n  --info <kv_file> [<kv_ppm_file>]  "), std::string::npos);
    EXPECT_EQ(result.status, 0);
  }
  ExpectRun({"--version"}, "kv2pelmo " KV2PELMO_VERSION "\n", 0);
  Write("-h", Record(0x200000, {1}).Build());
  ExpectRun({"./-h"}, Written("./-h_MCU_00200000.fls"), 0);
  ExpectRun({"-h", "x"}, kBanner + "Error: Alignator file does not exist.\n\n", 1);
}

TEST_F(Options, InfoDescribesTheImageAndWritesNothing) {
  Write("fw.480", BlockFile({Record(0x200000, Counting(16)), Record(0x200010, Counting(16)),
                             Record(0x200100, {}), Record(0x200040, {1, 2})}));
  Write("fw.48g", Record(0x220000, WithPpmMark(Counting(48), 'G')).Build());
  ExpectRun({"--info", "fw.480", "fw.48g"},
            kBanner +
                "Image kind: MCU\nBase address: 0x200000\nRecords: 4\n"
                "Range: 0x200000 to 0x20001F, 32 bytes\nRange: 0x200040 to 0x200041, 2 bytes\n"
                "Image size: 131072 bytes\nOutput name: fw_MCU_00200000.fls\n\n",
            0);
  ExpectRun({"--info", "fw.48g"},
            kBanner +
                "Image kind: PPM\nVariant letter: 0x47\nBase address: 0x220000\nRecords: 1\n"
                "Range: 0x220000 to 0x22002F, 48 bytes\nImage size: 65536 bytes\n"
                "Output name: fw_PPM_G_00220000.fls\n\n",
            0);
  Write("bad.480", Record(0x200000, {1}).WithDataChecksum(0).Build());
  ExpectRun({"--info", "bad.480"},
            kBanner +
                "Error: Invalid flash block checksum at 0x000000,\n"
                "       calculated = 0xFF, read = 0x00.\n\n",
            1);
  EXPECT_FALSE(Exists("tempdct3.tmp"));
  EXPECT_FALSE(Exists("fw_MCU_00200000.fls"));
  EXPECT_FALSE(Exists("fw_PPM_G_00220000.fls"));
}

}  // namespace
}  // namespace kv2pelmo::test
