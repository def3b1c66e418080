// The program end to end when files are short, in the way, or already there.
#include "e2e_fixture.h"

namespace kv2pelmo::test {
namespace {

// The message for a file that ends inside the record at offset.
std::string CutShort(const std::string& name, const char* offset) {
  return kBanner + "Error: Stream read error.\n       " + name + " ends inside the record at " +
         offset + ": it is cut short.\n\n";
}
const std::string kCannotCreate = kBanner + "Error: Cannot create file tempdct3.tmp.\n\n";

using Files = EndToEndTest;

TEST_F(Files, FileCutShortAnywhereIsAReadErrorAndChangesNothing) {
  const Bytes first = Record(0x200000, Counting(5)).Build();
  const Bytes whole = Join({first, Record(0x200005, Counting(3, 5)).Build()});
  const Bytes alignator = Record(0x220000, {1}).Build();
  const Bytes earlier = {0xAB, 0xCD};
  Write("fw.48g", alignator);
  for (std::size_t cut = 1; cut <= whole.size(); ++cut) {
    const Bytes input(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    Write("fw.480", input);
    Write("fw_MCU_00200000.fls", earlier);
    if (cut == first.size() || cut == whole.size()) {  // a whole file: it converts
      ExpectRun({"fw.480", "fw.48g"}, Written("fw_MCU_00200000.fls"), 0);
      EXPECT_EQ(Read("fw_MCU_00200000.fls").size(), 0x20000u);
    } else {
      ExpectRun({"fw.480", "fw.48g"},
                CutShort("fw.480", cut < first.size() ? "0x000000" : "0x00000E"), 2);
      EXPECT_EQ(Read("fw_MCU_00200000.fls"), earlier) << "cut at " << cut;
    }
    EXPECT_EQ(Read("fw.480"), input);
    EXPECT_EQ(Read("fw.48g"), alignator);
  }
}

// Cut short, such a record is a read error like any cut file (above); the
// reader's tests check that it allocates nothing for it first.
TEST_F(Files, LongestRecordConvertsWhole) {
  const Bytes data = Counting(0xFFFFFF, 1);
  Write("fw.480", Record(0x000000, data).Build());
  ExpectRun({"fw.480"}, Written("fw_MCU_00000000.fls"), 0);
  EXPECT_EQ(Read("fw_MCU_00000000.fls"), Join({data, {0xFF}}));
}

// The image is rounded before the alignator is read: what is left is whole units.
TEST_F(Files, ShortAlignatorIsAReadError) {
  Write("fw.480", Record(0x200000, {1}).Build());
  Write("fw.48g", {0x0B, 0x3A, 0x00, 0x00});
  ExpectRun({"fw.480", "fw.48g"}, CutShort("fw.48g", "0x000000"), 2);
  EXPECT_FALSE(Exists("fw_MCU_00200000.fls"));
  EXPECT_EQ(Read("tempdct3.tmp"), Join({{1}, Repeat(65535, 0xFF)}));
}

// An image, a text or a damaged header given as the alignator would give a
// wrong image: refused, for --info too, and nothing is named.
TEST_F(Files, AlignatorWithoutAValidFirstHeaderIsRefused) {
  Write("fw.480", Record(0x200000, {1}).Build());
  Write("fw_MCU_00200000.fls", {0xAB});
  const std::string bad_id = "Error: Invalid block ID in alignator file at 0x000000.\n\n";
  const std::vector<std::pair<Bytes, std::string>> alignators = {
      {Join({{'P', 'P', 'M', '!'}, Repeat(60, 0xFF)}), bad_id},
      {Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'}, bad_id},
      {Record(0x3A0000, {1, 2}).WithHeaderChecksum(0x12).Build(),
       "Error: Invalid block header checksum in alignator file at 0x000000,\n"
       "       calculated = 0xC6, read = 0x12.\n\n"}};
  for (const auto& [alignator, message] : alignators) {
    Write("fw.48g", alignator);
    ExpectRun({"fw.480", "fw.48g"}, kBanner + message, 1);
    ExpectRun({"--info", "fw.480", "fw.48g"}, kBanner + message, 1);
    EXPECT_EQ(Read("fw_MCU_00200000.fls"), Bytes({0xAB}));
    EXPECT_EQ(Read("tempdct3.tmp"), Join({{1}, Repeat(65535, 0xFF)}));
    EXPECT_EQ(Read("fw.48g"), alignator);
  }
}

// Refused at its checksum, such a record leaves the pieces before its last
// in tempdct3.tmp, as the README says.
TEST_F(Files, RecordsLongerThanTheBlockBufferConvertOrAreRefusedWhole) {
  const Bytes big = Counting(100000, 3);
  Write("fw.480", BlockFile({Record(0x100000, {9}), Record(0x100010, big), Record(0x100001, {8})}));
  ExpectRun({"fw.480"}, Written("fw_MCU_00100000.fls"), 0);
  EXPECT_EQ(Read("fw_MCU_00100000.fls"),
            Join({{9, 8}, Repeat(14, 0), big, Repeat(131072 - 100016, 0xFF)}));
  Write("fw.480", BlockFile({Record(0x100000, {9}), Record(0x100010, big).WithDataChecksum(1)}));
  ExpectRun({"fw.480"},
            kBanner +
                "Error: Invalid flash block checksum at 0x00000A,\n"
                "       calculated = 0x70, read = 0x01.\n\n",
            1);
  EXPECT_EQ(Read("tempdct3.tmp"),
            Join({{9}, Repeat(15, 0), Bytes(big.begin(), big.begin() + 66000)}));
}

TEST_F(Files, OutputNameThatIsADirectoryLeavesTheTemporaryImage) {
  std::filesystem::create_directory(dir_ / "fw_MCU_00200000.fls");
  Write("fw.480", Record(0x200000, {1, 2}).Build());
  ExpectRun({"fw.480"},
            Written("fw_MCU_00200000.fls") +
                "Error: Cannot rename tempdct3.tmp to fw_MCU_00200000.fls.\n\n",
            2);
  EXPECT_EQ(Read("tempdct3.tmp"), Join({{1, 2}, Repeat(65534, 0xFF)}));
}

TEST_F(Files, InputOrAlignatorThatIsTheTemporaryImageIsNeverTruncated) {
  const Bytes input = Record(0x200000, {1}).Build();
  std::filesystem::create_directory(dir_ / "sub");
  Write("tempdct3.tmp", input);
  Write("fw.480", input);
  const std::vector<std::vector<std::string>> runs = {
      {"tempdct3.tmp"}, {"./tempdct3.tmp"}, {"sub/../tempdct3.tmp"}, {"fw.480", "tempdct3.tmp"}};
  for (const auto& args : runs) {
    ExpectRun(args, kCannotCreate, 2);
    EXPECT_EQ(Read("tempdct3.tmp"), input);
  }
  EXPECT_FALSE(Exists("fw_MCU_00200000.fls"));
}

// Runs started together in one directory take turns with the temporary
// image: every one succeeds, each with its own exact image.
TEST_F(Files, RunsStartedTogetherEachWriteTheirOwnImage) {
  constexpr int kRuns = 4;
  for (int round = 0; round < 5; ++round) {
    // All inputs first: a file being written while a run starts would be
    // inherited by it on Windows, open for writing, and keep others out.
    std::vector<std::vector<std::string>> runs;
    for (int i = 0; i < kRuns; ++i) {
      const auto base = static_cast<std::uint32_t>(0x100000 * (i + 1));
      runs.push_back({"fw" + std::to_string(i) + ".480"});
      Write(runs.back()[0],
            Record(base, Counting(20000, static_cast<std::uint8_t>(round * kRuns + i))).Build());
    }
    const std::vector<ProgramResult> results = RunProgramsTogether(dir_.Path(), runs);
    for (int i = 0; i < kRuns; ++i) {
      const std::string name =
          "fw" + std::to_string(i) + "_MCU_00" + std::to_string(i + 1) + "00000.fls";
      const ProgramResult& result = results[static_cast<std::size_t>(i)];
      EXPECT_EQ(result.out, Written(name)) << "round " << round;
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(Read(name), Join({Counting(20000, static_cast<std::uint8_t>(round * kRuns + i)),
                                  Repeat(65536 - 20000, 0xFF)}));
    }
  }
  EXPECT_FALSE(Exists("tempdct3.tmp"));
}

}  // namespace
}  // namespace kv2pelmo::test
