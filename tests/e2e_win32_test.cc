// End-to-end cases only Windows has: wildcards, sharing modes and files other programs hold,
// the forms of path, devices, code pages.
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

const Bytes kImage = Join({{1}, Repeat(65535, 0xFF)});

// A name in UTF-8, as the tests and the converter take names.
std::filesystem::path U8(const std::string& name) { return std::filesystem::u8path(name); }

// Every name arrives as typed: a fullwidth one beside its ASCII look-alike, a
// Cyrillic one. Without the UTF-8 code page the look-alike is refused.
TEST_F(Win32, NamesArriveAsTheUserTypedThem) {
  Write("fw.480", Record(0x200000, {2}).Build());
  const std::string fullwidth = "\uff46\uff57", cyrillic = "\u043f\u0440\u0438\u0432\u0435\u0442";
  for (const std::string& stem : {fullwidth, cyrillic}) {
    WriteFile(dir_.Path() / U8(stem + ".480"), Record(0x200000, {1}).Build());
    ExpectRun({stem + ".480"}, Written(stem + "_MCU_00200000.fls"), 0);
    EXPECT_EQ(ReadFile(dir_.Path() / U8(stem + "_MCU_00200000.fls")), kImage);
  }
  RunLimits legacy;
  legacy.program = ProgramPath().parent_path() / "kv2pelmo_without_utf8.exe";
  ExpectRun({fullwidth + ".480"},
            kBanner +
                "Error: Argument 1 holds characters that this Windows code page\n"
                "       cannot hold, so it would reach another name. Rename the file, or run\n"
                "       on Windows 10 version 1903 or later, where every name can be given.\n\n",
            1, legacy);
  EXPECT_FALSE(Exists("fw_MCU_00200000.fls"));
  EXPECT_FALSE(Exists("tempdct3.tmp"));
}

// NUL, AUX and the like are devices whatever their extension: refused before
// anything is opened or made, as the input and as the alignator.
TEST_F(Win32, DeviceNamesAreRefusedAtOnce) {
  Write("fw.480", Record(0x200000, {1}).Build());
  const std::string why =
      "       Windows takes names such as NUL, CON, AUX and COM1 for devices,\n"
      "       whatever their extension: rename the file.\n\n";
  for (const std::string device : {"nul", "aux"}) {
    ExpectRun({device + ".480"}, kBanner + "Error: Input file is a device, not a file.\n" + why, 1);
    ExpectRun({"fw.480", device + ".48g"},
              kBanner + "Error: Alignator file is a device, not a file.\n" + why, 1);
  }
  EXPECT_FALSE(Exists("tempdct3.tmp"));
}

// A \\?\ path, a name with dots at its end (which Windows drops), and a path
// relative to another drive's current directory: the image lands beside the
// input, copied there across volumes where the run is elsewhere.
TEST_F(Win32, EveryFormOfPathNamesTheImageBesideTheInput) {
  Write("fw.480", Record(0x200000, {1}).Build());
  const std::string long_form = "\\\\?\\" + dir_.Path().string() + "\\fw.480";
  ExpectRun({long_form}, Written(long_form.substr(0, long_form.size() - 4) + "_MCU_00200000.fls"),
            0);
  ExpectRun({"fw.480. "}, Written("fw_MCU_00200000.fls"), 0);
  EXPECT_EQ(Read("fw_MCU_00200000.fls"), kImage);
  std::filesystem::remove(dir_ / "fw_MCU_00200000.fls");

  const std::string drive = dir_.Path().root_name().string();  // C:, say
  const std::filesystem::path elsewhere = "Z:\\dev\\shm";      // wine's tmpfs: another volume
  if (!std::filesystem::is_directory(elsewhere) || drive == elsewhere.root_name().string()) {
    GTEST_SKIP() << "skipped: no second volume at " << elsewhere.string();
  }
  const ScopedTempDir cwd;  // a directory of the drive's own would do; this one is on Z: too
  const std::filesystem::path run_in = elsewhere / cwd.Path().filename();
  std::filesystem::create_directory(run_in);
  ASSERT_TRUE(::SetEnvironmentVariableA(("=" + drive).c_str(), dir_.Path().string().c_str()));
  ExpectProgram(run_in, {drive + "fw.480"}, Written(drive + "fw_MCU_00200000.fls"), 0);
  EXPECT_EQ(Read("fw_MCU_00200000.fls"), kImage);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.Path()), {}), 2);
  EXPECT_TRUE(std::filesystem::is_empty(run_in));
  std::filesystem::remove_all(run_in);
}

constexpr auto kReady = std::future_status::ready;
constexpr std::chrono::milliseconds kPoll{10};

class Held : public EndToEndTest {
 protected:
  // Converts fw.480 while hold_file holds name, sharing share (none or read):
  // until half a second after the run says it waits, or, not briefly, until
  // the run ends. Its notices land in err_.
  ProgramResult RunWhileHeld(const std::string& name, const char* share, bool briefly) {
    for (const char* flag : {"held", "release", "err"}) std::filesystem::remove(dir_ / flag);
    RunLimits helper, run;
    helper.program = ProgramPath().parent_path() / "tests" / "hold_file.exe";
    run.stderr_path = dir_ / "err";
    auto holder = std::async(std::launch::async, [&] { return Run({name, share}, helper); });
    while (!Exists("held") && holder.wait_for(kPoll) != kReady) {
    }
    auto converted = std::async(std::launch::async, [&] { return Run({"fw.480"}, run); });
    while (briefly && Noticed().empty() && converted.wait_for(kPoll) != kReady) {
    }
    briefly ? ::Sleep(500) : converted.wait();
    Write("release", {});
    EXPECT_EQ(holder.get().status, 0);
    err_ = Noticed();
    return converted.get();
  }
  std::string Noticed() {
    const Bytes text = Exists("err") ? Read("err") : Bytes();
    return std::string(text.begin(), text.end());
  }
  std::string err_;
};

// Held a moment, the old image or the input is waited for, with one notice;
// held past the bound, the run refuses saying why, and the old image stays.
TEST_F(Held, AFileHeldAMomentIsWaitedForAndOneHeldTooLongIsRefusedSayingWhy) {
  const std::string image = "fw_MCU_00200000.fls";
  const Bytes old = {9, 9, 9};
  Write("fw.480", Record(0x200000, {1}).Build());
  for (const std::string& held : {image, std::string("fw.480")}) {
    for (const char* share : {"none", "read"}) {
      Write(image, old);
      EXPECT_EQ(RunWhileHeld(held, share, true).out, Written(image)) << held << share;
      EXPECT_EQ(Read(image), Join({{1}, Repeat(65535, 0xFF)}));
      EXPECT_EQ(err_, "kv2pelmo: waiting for another program to release " + held + "\r\n");
      Write(image, old);
      const ProgramResult refused = RunWhileHeld(held, share, false);
      const std::string failed =
          held == image ? Written(image) + "Error: Cannot rename tempdct3.tmp to " + image
                        : kBanner + "Error: Cannot open file fw.480";
      EXPECT_EQ(refused.out, failed + ".\n       Another program has " + held +
                                 " open: close it there, then run again.\n\n");
      EXPECT_EQ(refused.status, 2);
      EXPECT_EQ(Read(image), old);
    }
  }
}

}  // namespace
}  // namespace kv2pelmo::test
