// The run in-process, over files in memory: its precedence, statuses and messages; and
// when to wait for Enter.
#include "cli/run.h"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/version.h"
#include "fake_file_system.h"
#include "record_builder.h"

namespace kv2pelmo {
namespace {

using test::Bytes;
using test::Record;

const std::string kBanner = "Kovrel to Pelmo Converter " KV2PELMO_VERSION " by Quelm\n\n";
const Bytes kGood = Record(0x200000, {1}).Build();
const Bytes kRounded = [] {
  Bytes image(65536, 0xFF);
  image[0] = 1;
  return image;
}();

// Runs over fs and checks what it printed, on standard output and error, and its status.
void ExpectRun(test::FakeFileSystem& fs, const std::vector<std::string>& args,
               const std::string& out, int status, const std::string& err = "") {
  std::ostringstream printed, noticed;
  EXPECT_EQ(Run(args, fs, printed, noticed), status);
  EXPECT_EQ(printed.str(), out);
  EXPECT_EQ(noticed.str(), err);
}

// Usage and missing files are answered before any file is opened or created.
TEST(RunTest, UsageAndMissingFilesTouchNothing) {
  test::FakeFileSystem fs;
  fs.Put("fw.480", kGood);
  const std::string usage = kBanner +
                            "Usage:   kv2pelmo <kv_mcu_file> [<kv_ppm_file>]\n"
                            "         kv2pelmo <kv_ppm_file>\n\n"
                            "Example: kv2pelmo npm5nx03.480 npm5nx03.48g\n\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, usage},
      {{"fw.480", "a", "b"}, usage},
      {{"--info"}, usage},
      {{"gone.480"}, kBanner + "Error: Input file does not exist.\n\n"},
      {{"fw.480", "gone.48g"}, kBanner + "Error: Alignator file does not exist.\n\n"},
      {{"gone.480", "gone.48g"}, kBanner + "Error: Input file does not exist.\n\n"}};
  for (const auto& [args, message] : cases) ExpectRun(fs, args, message, kExitRefused);
  EXPECT_TRUE(fs.log.empty());
  EXPECT_EQ(fs.names.size(), 1u);
}

// Refusals of the blocks and of the alignator are worded as such; the
// rounded image stays in tempdct3.tmp and nothing is named.
TEST(RunTest, RefusalsOfBlocksAndAlignatorAreWorded) {
  test::FakeFileSystem fs;
  fs.Put("bad.480", Record(0x200000, {1}).WithId(0x0C).Build());
  fs.Put("fw.480", kGood);
  fs.Put("bad.48g", Record(0x3A0000, {}).WithId(0).Build());
  ExpectRun(fs, {"bad.480", "bad.48g"}, kBanner + "Error: Invalid block ID at 0x000000.\n\n",
            kExitRefused);
  ExpectRun(fs, {"fw.480", "bad.48g"},
            kBanner + "Error: Invalid block ID in alignator file at 0x000000.\n\n", kExitRefused);
  EXPECT_EQ(fs.Bytes("tempdct3.tmp"), kRounded);
  EXPECT_FALSE(fs.Has("fw_MCU_00200000.fls"));
}

// A failure of the file layer is status 2 with its message, and names nothing.
TEST(RunTest, WriteAndNamingFailuresAreFileErrors) {
  test::FakeFileSystem fs;
  fs.Put("fw.480", kGood);
  fs.write_limit = 1000;
  const std::string written = kBanner + "Output written to: fw_MCU_00200000.fls\n\n";
  ExpectRun(fs, {"fw.480"}, kBanner + "Error: Stream write error.\n\n", kExitFileError);
  fs.write_limit.reset();
  fs.fail_naming = true;
  ExpectRun(fs, {"fw.480"},
            written + "Error: Cannot rename tempdct3.tmp to fw_MCU_00200000.fls.\n\n",
            kExitFileError);
  EXPECT_FALSE(fs.Has("fw_MCU_00200000.fls"));
  fs.fail_naming = false;
  // Never over the alignator; and once named, a failing close fails nothing.
  const Bytes alignator = Record(0x210000, {}).Build();  // where the image ends: no notice
  fs.Put("fw_MCU_00200000.fls", alignator);
  ExpectRun(
      fs, {"fw.480", "fw_MCU_00200000.fls"},
      written +
          "Error: Cannot rename tempdct3.tmp to fw_MCU_00200000.fls.\n"
          "       fw_MCU_00200000.fls is the alignator file, which is never written over.\n\n",
      kExitFileError);
  EXPECT_EQ(fs.Bytes("fw_MCU_00200000.fls"), alignator);
  fs.fail_close = true;
  ExpectRun(fs, {"fw.480"}, written, kExitSuccess);
  EXPECT_EQ(fs.Bytes("fw_MCU_00200000.fls"), kRounded);
  EXPECT_FALSE(fs.Has("tempdct3.tmp"));
}

// --info reads as a conversion does, describes the image, and creates nothing.
TEST(RunTest, InfoDescribesTheImageAndCreatesNothing) {
  test::FakeFileSystem fs;
  fs.Put("fw.480", test::BlockFile({Record(0x200000, test::Counting(16)),
                                    Record(0x200010, test::Counting(16)), Record(0x200100, {}),
                                    Record(0x200040, {1, 2})}));
  fs.Put("fw.48g", Record(0x220000, test::WithPpmMark(test::Counting(48), 'G')).Build());
  fs.Put("bad.480", Record(0x200000, {1}).WithDataChecksum(0).Build());
  ExpectRun(fs, {"--info", "fw.480", "fw.48g"},
            kBanner +
                "Image kind: MCU\nBase address: 0x200000\nRecords: 4\n"
                "Range: 0x200000 to 0x20001F, 32 bytes\nRange: 0x200040 to 0x200041, 2 bytes\n"
                "Image size: 131072 bytes\nOutput name: fw_MCU_00200000.fls\n\n",
            kExitSuccess);
  ExpectRun(fs, {"--info", "fw.48g"},
            kBanner +
                "Image kind: PPM\nVariant letter: 0x47\nBase address: 0x220000\nRecords: 1\n"
                "Range: 0x220000 to 0x22002F, 48 bytes\nImage size: 65536 bytes\n"
                "Output name: fw_PPM_G_00220000.fls\n\n",
            kExitSuccess);
  ExpectRun(fs, {"--info", "bad.480"},
            kBanner +
                "Error: Invalid flash block checksum at 0x000000,\n"
                "       calculated = 0xFF, read = 0x00.\n\n",
            kExitRefused);
  EXPECT_EQ(fs.log, (std::vector<std::string>{"open fw.480", "open fw.48g", "open fw.48g",
                                              "open bad.480"}));
  EXPECT_EQ(fs.names.size(), 3u);
}

// What a user is told when a pair is swapped, a name holds control
// characters, or the output name cannot be held by its file system.
TEST(RunTest, MessagesSayWhatHappened) {
  test::FakeFileSystem fs;
  fs.Put("p.48g", Record(0x3A0000, test::WithPpmMark(test::Counting(48), 'G')).Build());
  fs.Put("m.480", kGood);
  ExpectRun(fs, {"p.48g", "m.480"}, kBanner + "Output written to: p_PPM_G_003A0000.fls\n\n",
            kExitSuccess,
            "kv2pelmo: m.480 begins below the end of the image, so nothing was added; the MCU "
            "file goes first, then its PPM file\n");
  const std::string evil = "evil\n\nOutput written to: ok.fls\n\n\x1b[31mx";
  fs.Put(evil + ".480", kGood);
  ExpectRun(fs, {evil + ".480"},
            kBanner +
                "Output written to: evil\\x0A\\x0AOutput written to: ok.fls\\x0A\\x0A\\x1B[31mx"
                "_MCU_00200000.fls\n\n",
            kExitSuccess);
  EXPECT_EQ(fs.Bytes(evil + "_MCU_00200000.fls"), kRounded);
  // Too long: refused before any work, unless only a PPM image's tag is.
  fs.directories[""].name_max = 20;
  const std::string too_long = kBanner +
                               "Error: Output name too long for its file system.\n"
                               "       Give the input file a shorter name.\n\n";
  fs.log.clear();
  for (const char* info : {"", "--info"}) {
    std::vector<std::string> args = {"long.480"};
    if (*info != '\0') args.insert(args.begin(), info);
    fs.Put("long.480", kGood);
    ExpectRun(fs, args, too_long, kExitRefused);
    fs.Put("pp.48g", fs.Bytes("p.48g"));
    args.back() = "pp.48g";
    ExpectRun(fs, args, too_long, kExitRefused);
  }
  EXPECT_EQ(fs.log,
            (std::vector<std::string>{"open pp.48g", "create tempdct3.tmp", "open pp.48g"}));
  EXPECT_FALSE(fs.Has("pp_PPM_G_003A0000.fls"));
}

TEST(RunTest, WaitsOnlyInAConsoleOfItsOwnThatItReadsAndWrites) {
  EXPECT_TRUE(WaitBeforeClosing({1, true, true}));     // started from Explorer
  EXPECT_FALSE(WaitBeforeClosing({2, true, true}));    // from a console window
  EXPECT_FALSE(WaitBeforeClosing({1, true, false}));   // output redirected
  EXPECT_FALSE(WaitBeforeClosing({1, false, true}));   // no Enter to read
  EXPECT_FALSE(WaitBeforeClosing({0, false, false}));  // no console known
}

}  // namespace
}  // namespace kv2pelmo
