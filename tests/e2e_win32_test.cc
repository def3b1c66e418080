// End-to-end cases only Windows has: wildcards, sharing modes, backslash paths.
#include <windows.h>

#include <chrono>
#include <future>

#include "e2e_fixture.h"

namespace kv2pelmo::test {
namespace {

using Win32 = EndToEndTest;

TEST_F(Win32, WildcardNamesAreMissingEvenWhenAFileMatches) {
  Write("fw.480", Record(0x200000, {1}).Build());
  ExpectRun({"fw.4*"}, kBanner + "Error: Input file does not exist.\n\n", 1);
  ExpectRun({"fw.480", "fw.4?0"}, kBanner + "Error: Alignator file does not exist.\n\n", 1);
}

// A run that finds the image held by another waits for it, then goes on.
TEST_F(Win32, RunWaitsWhileAnotherHoldsTheImage) {
  Write("tempdct3.tmp", {5, 6});
  Write("fw.480", Record(0x200000, {1}).Build());
  HANDLE held =
      ::CreateFileA((dir_ / "tempdct3.tmp").string().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  auto run = std::async(std::launch::async, [this] { return Run({"fw.480"}); });
  EXPECT_EQ(run.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
  ::CloseHandle(held);
  const ProgramResult result = run.get();
  EXPECT_EQ(result.out, Written("fw_MCU_00200000.fls"));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(Read("fw_MCU_00200000.fls"), Join({{1}, Repeat(65535, 0xFF)}));
}

// Through a hard link the truncation would reach another file: that name is
// removed and the image made anew.
TEST_F(Win32, LeftoverThatIsAHardLinkIsNotTruncatedThrough) {
  Write("fw.480", Record(0x200000, {1}).Build());
  Write("precious", {1, 2, 3});
  ASSERT_TRUE(::CreateHardLinkA((dir_ / "tempdct3.tmp").string().c_str(),
                                (dir_ / "precious").string().c_str(), nullptr));
  ExpectRun({"fw.480"}, Written("fw_MCU_00200000.fls"), 0);
  EXPECT_EQ(Read("fw_MCU_00200000.fls"), Join({{1}, Repeat(65535, 0xFF)}));
  EXPECT_EQ(Read("precious"), Bytes({1, 2, 3}));
  EXPECT_FALSE(Exists("tempdct3.tmp"));
}

TEST_F(Win32, BackslashPathsKeepTheirDirectory) {
  std::filesystem::create_directories(dir_ / "dir.old" / "sub");
  Write("dir.old/sub/fw.480", Record(0x10, {1}).Build());
  Write("dir.old/file", Record(0x20, {2}).Build());
  ExpectRun({"dir.old\\sub\\fw.480"}, Written("dir.old\\sub\\fw_MCU_00000010.fls"), 0);
  ExpectRun({"dir.old\\file"}, Written("dir.old\\file_MCU_00000020.fls"), 0);
  EXPECT_TRUE(Exists("dir.old/sub/fw_MCU_00000010.fls"));
  EXPECT_TRUE(Exists("dir.old/file_MCU_00000020.fls"));
}

}  // namespace
}  // namespace kv2pelmo::test
