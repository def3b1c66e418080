// The program end to end with its options --help and --version (--info is tested in-process).
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

}  // namespace
}  // namespace kv2pelmo::test
