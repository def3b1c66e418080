// The program end to end: exact console text, exit status and image bytes.
#include "e2e_fixture.h"

namespace kv2pelmo::test {
namespace {

using Outcome = EndToEndTest;

TEST_F(Outcome, MissingFilesAreRefusedBeforeAnyIsCreated) {
  std::filesystem::create_directory(dir_ / "dir.480");
  Write("fw.480", Record(0x200000, {1}).Build());
  const std::string input_missing = kBanner + "Error: Input file does not exist.\n\n";
  ExpectRun({"none.480"}, input_missing, 1);
  ExpectRun({"dir.480"}, input_missing, 1);
  ExpectRun({"fw.480", "fw.48g"}, kBanner + "Error: Alignator file does not exist.\n\n", 1);
  EXPECT_FALSE(Exists("tempdct3.tmp"));
}

TEST_F(Outcome, GapsAreZeroAndAnExactUnitGetsNoFill) {
  Write("fw.480", BlockFile({Record(0x10000, Counting(16)), Record(0x10020, Counting(16)),
                             Record(0x20000 - 16, Counting(16, 0x80))}));
  ExpectRun({"fw.480"}, Written("fw_MCU_00010000.fls"), 0);
  EXPECT_EQ(Read("fw_MCU_00010000.fls"), Join({Counting(16), Repeat(16, 0), Counting(16),
                                               Repeat(65536 - 64, 0), Counting(16, 0x80)}));
}

TEST_F(Outcome, PpmFileIsNamedWithItsVariant) {
  const Bytes data = WithPpmMark(Counting(64, 0x20), 'G');
  Write("npm5nx03.48g", Record(0x3A0000, data).Build());
  ExpectRun({"npm5nx03.48g"}, Written("npm5nx03_PPM_G_003A0000.fls"), 0);
  EXPECT_EQ(Read("npm5nx03_PPM_G_003A0000.fls"), Join({data, Repeat(65536 - 64, 0xFF)}));
}

TEST_F(Outcome, McuImageIsExtendedToThePpmStart) {
  Write("npm5nx03.480", Record(0x200000, Counting(100)).Build());
  Write("npm5nx03.48g", Record(0x200000 + 65536 + 65536 + 256, {'P', 'P', 'M'}).Build());
  ExpectRun({"npm5nx03.480", "npm5nx03.48g"}, Written("npm5nx03_MCU_00200000.fls"), 0);
  EXPECT_EQ(Read("npm5nx03_MCU_00200000.fls"),
            Join({Counting(100), Repeat(131072 + 256 - 100, 0xFF)}));
}

TEST_F(Outcome, InvalidBlocksAreReportedWithTheirOffset) {
  const Bytes good = Record(0x200000, {7, 7}).Build();  // 11 bytes
  const Bytes example_bad_header = {0x0B, 0x20, 0x00, 0x00, 0xF6, 0x00, 0x00,
                                    0x04, 0xE4, 1,    2,    3,    4};
  const struct {
    Bytes second;
    std::string message;
  } cases[] = {
      {Record(0x200010, {1}).WithId(0x0A).Build(), "Error: Invalid block ID at 0x00000B.\n\n"},
      {example_bad_header,
       "Error: Invalid block header checksum at 0x00000B,\n"
       "       calculated = 0xE5, read = 0xE4.\n\n"},
      {Record(0x200010, {1, 2, 3, 4}).WithDataChecksum(0x0A).Build(),
       "Error: Invalid flash block checksum at 0x00000B,\n"
       "       calculated = 0xF6, read = 0x0A.\n\n"},
  };
  for (const auto& c : cases) {
    Write("fw.480", Join({good, c.second, good}));
    ExpectRun({"fw.480"}, kBanner + c.message, 1);
    EXPECT_EQ(Read("tempdct3.tmp"), Bytes({7, 7}));  // the blocks before it, unpadded
    EXPECT_FALSE(Exists("fw_MCU_00200000.fls"));
  }
}

TEST_F(Outcome, OffsetsPastSixteenMebibytesPrintInFull) {
  Bytes file;
  for (std::uint32_t i = 0; i < 256; ++i) {  // 256 records of exactly 64 KiB each
    Record(i * 65536, Repeat(65536 - 9, 0x55)).AppendTo(file);
  }
  Record(0, {}).WithId(0x0C).AppendTo(file);
  Write("fw.480", file);
  ExpectRun({"fw.480"}, kBanner + "Error: Invalid block ID at 0x1000000.\n\n", 1);
}

TEST_F(Outcome, BlockBelowTheImageStartIsRefused) {
  Write("fw.480", BlockFile({Record(0x200000, {1}), Record(0x1FFFF0, {2, 3})}));
  ExpectRun({"fw.480"},
            kBanner +
                "Error: Block address below image start at 0x00000A,\n"
                "       address = 0x1FFFF0, image start = 0x200000.\n\n",
            1);
  EXPECT_EQ(Read("tempdct3.tmp"), Bytes({1}));
}

// Nothing of the flash in the image, nothing to flash from it: refused.
TEST_F(Outcome, FileWithoutRecordsOrDataIsRefused) {
  Write("empty.480", {});
  ExpectRun({"empty.480"}, kBanner + "Error: Input file holds no blocks.\n\n", 1);
  Write("zero.480", BlockFile({Record(0x123456, {}), Record(0x200000, {})}));
  ExpectRun({"zero.480"},
            kBanner + "Error: Input file holds no data: every record in it is empty.\n\n", 1);
  EXPECT_FALSE(Exists("zero_MCU_00123456.fls"));
}

// An empty block's offset counts as reached: 0x00 up to it, the fill after.
TEST_F(Outcome, EmptyBlockPastTheDataExtendsTheImage) {
  const Bytes data = Counting(0x1530);
  Write("a.480", BlockFile({Record(0, data), Record(0x1630, {})}));
  ExpectRun({"a.480"}, Written("a_MCU_00000000.fls"), 0);
  EXPECT_EQ(Read("a_MCU_00000000.fls"),
            Join({data, Repeat(0x100, 0), Repeat(65536 - 0x1630, 0xFF)}));
  Write("b.480", BlockFile({Record(0, Counting(0x73)), Record(0x10073, {})}));
  ExpectRun({"b.480"}, Written("b_MCU_00000000.fls"), 0);
  EXPECT_EQ(Read("b_MCU_00000000.fls").size(), 131072u);
  Write("c.480", BlockFile({Record(0, {1}), Record(0x10, {}), Record(0x20, {}).WithId(0)}));
  ExpectRun({"c.480"}, kBanner + "Error: Invalid block ID at 0x000013.\n\n", 1);
  EXPECT_EQ(Read("tempdct3.tmp"), Join({{1}, Repeat(15, 0)}));
}

// Windows takes a backslash for the separator too, and the output keeps it.
TEST_F(Outcome, OutputLandsBesideTheInput) {
#ifdef _WIN32
  const std::vector<std::string> separators = {"/", "\\"};
#else
  const std::vector<std::string> separators = {"/"};
#endif
  for (const std::string& slash : separators) {
    std::filesystem::create_directories(dir_ / "dir.old" / "sub");
    Write("dir.old/sub/fw.480", Record(0x10, {1}).Build());
    Write("dir.old/file", Record(0x20, {2}).Build());
    const std::string sub = "dir.old" + slash + "sub" + slash, dir = "dir.old" + slash;
    ExpectRun({sub + "fw.480"}, Written(sub + "fw_MCU_00000010.fls"), 0);
    ExpectRun({dir + "file"}, Written(dir + "file_MCU_00000020.fls"), 0);
    EXPECT_EQ(Read("dir.old/sub/fw_MCU_00000010.fls").size(), 65536u);
    EXPECT_EQ(Read("dir.old/file_MCU_00000020.fls").size(), 65536u);
    EXPECT_FALSE(Exists("tempdct3.tmp"));
    std::filesystem::remove_all(dir_ / "dir.old");
  }
}

}  // namespace
}  // namespace kv2pelmo::test
