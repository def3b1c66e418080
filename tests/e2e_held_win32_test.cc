// End-to-end: files that another program holds open a moment, or too long, under wine.
#include <windows.h>

#include <algorithm>
#include <future>

#include "e2e_fixture.h"

namespace kv2pelmo::test {
namespace {

const std::string kImageName = "fw_MCU_00200000.fls";
const Bytes kOld = {9, 9, 9};

class Held : public EndToEndTest {
 protected:
  // Converts fw.480 while hold_file holds name, sharing share (none or read):
  // for about half a second after the run says it waits, or, with briefly
  // false, until the run ends. Its notices land in err_.
  ProgramResult RunWhileHeld(const std::string& name, const char* share, bool briefly) {
    Write("fw.480", Record(0x200000, {1}).Build());
    std::filesystem::remove(dir_ / "release");
    std::filesystem::remove(dir_ / "err");
    RunLimits helper, run;
    helper.program = ProgramPath().parent_path() / "tests" / "hold_file.exe";
    run.stderr_path = dir_ / "err";
    auto holder = std::async(std::launch::async, [&] {
      return RunProgram(dir_.Path(), {name, share}, helper).status;
    });
    while (!IsHeld(name) && holder.wait_for(kPoll) != kReady) {
    }
    auto converted = std::async(std::launch::async, [&] { return Run({"fw.480"}, run); });
    while (briefly && Noticed().empty() && converted.wait_for(kPoll) != kReady) {
    }
    if (briefly) ::Sleep(500);
    if (!briefly) converted.wait();
    Write("release", {});
    EXPECT_EQ(holder.get(), 0);
    err_ = Noticed();
    return converted.get();
  }
  // Both ways of holding keep a writer out.
  bool IsHeld(const std::string& name) {
    HANDLE file = ::CreateFileA((dir_ / name).string().c_str(), GENERIC_WRITE, 7, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
    return file == INVALID_HANDLE_VALUE;
  }
  std::string Noticed() {
    const Bytes noticed = Exists("err") ? Read("err") : Bytes();
    std::string text(noticed.begin(), noticed.end());
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
  }
  static constexpr std::future_status kReady = std::future_status::ready;
  static constexpr std::chrono::milliseconds kPoll{10};
  std::string err_;
};

std::string HeldLine(const std::string& name) {
  return "       Another program has " + name + " open: close it there, then run again.\n\n";
}

// Held a moment, the old image is replaced after one notice; held past the
// bound, the run refuses, saying why, and the old image stays as it was.
TEST_F(Held, AnOldImageHeldAMomentIsWaitedForAndOneHeldTooLongIsKept) {
  for (const char* share : {"none", "read"}) {
    Write(kImageName, kOld);
    EXPECT_EQ(RunWhileHeld(kImageName, share, true).status, 0) << share;
    EXPECT_EQ(Read(kImageName), Join({{1}, Repeat(65535, 0xFF)})) << share;
    EXPECT_EQ(err_, "kv2pelmo: waiting for another program to release " + kImageName + "\n");
    Write(kImageName, kOld);
    const ProgramResult refused = RunWhileHeld(kImageName, share, false);
    EXPECT_EQ(refused.out, Written(kImageName) + "Error: Cannot rename tempdct3.tmp to " +
                               kImageName + ".\n" + HeldLine(kImageName));
    EXPECT_EQ(refused.status, 2) << share;
    EXPECT_EQ(Read(kImageName), kOld) << share;
  }
}

// The input likewise: read once released, refused when held too long.
TEST_F(Held, AnInputHeldAMomentIsWaitedForAndOneHeldTooLongIsRefused) {
  EXPECT_EQ(RunWhileHeld("fw.480", "read", true).out, Written(kImageName));
  EXPECT_EQ(err_, "kv2pelmo: waiting for another program to release fw.480\n");
  const ProgramResult refused = RunWhileHeld("fw.480", "none", false);
  EXPECT_EQ(refused.out, kBanner + "Error: Cannot open file fw.480.\n" + HeldLine("fw.480"));
  EXPECT_EQ(refused.status, 2);
}

}  // namespace
}  // namespace kv2pelmo::test
