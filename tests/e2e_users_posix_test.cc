// End to end as ordinary users: leftovers they cannot write, two users' runs, a parent's lock,
// nohup.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "e2e_fixture.h"
#include "handover/hidden_names.h"
#include "mounted_file_system.h"

namespace kv2pelmo::test {
namespace {

const Bytes kInput = Record(0x200000, Counting(3000)).Build();
const Bytes kImage = Join({Counting(3000), Repeat(65536 - 3000, 0xFF)});
const std::string kOutput = "fw_MCU_00200000.fls";

// Waits until done() holds or run has ended, so that a run that fails at
// once cannot keep the test waiting until its time limit.
template <typename Done>
void WaitUntil(Done done, const std::future<ProgramResult>& run) {
  while (!done() && run.wait_for(std::chrono::milliseconds(1)) == std::future_status::timeout) {
  }
}

class Users : public EndToEndTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "skipped: running as other users needs root";
    ::chmod(dir_.Path().c_str(), 0777);
    const std::string why = program_.Unreachable(dir_.Path());
    if (!why.empty()) GTEST_SKIP() << why;
  }
  // Runs the copy as user uid, under the commands then.
  RunLimits As(int uid, std::vector<std::string> then = {}, unsigned umask = 022) const {
    RunLimits limits = program_.As(uid);
    limits.wrapper.insert(limits.wrapper.end(), then.begin(), then.end());
    limits.umask = umask;
    return limits;
  }
  void ExpectOwnOutput(const std::string& name, uid_t uid) {
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / name).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(Read(name), kImage);
  }

  ProgramForOtherUsers program_;
};

// root's leftover, the user's own read-only one, and one made under umask
// 0777 are made anew; in a sticky directory another's is refused, saying why.
TEST_F(Users, LeftoversTheUserCannotWriteAreMadeAnew) {
  Write("fw.480", kInput);
  Write("bad.480", Record(0x200000, {1}).WithId(0).Build());
  for (const int leftover : {0, 1, 2}) {
    Write("tempdct3.tmp", {7});
    if (leftover == 1) {
      ::chown((dir_ / "tempdct3.tmp").c_str(), 1001, 100);
      ::chmod((dir_ / "tempdct3.tmp").c_str(), 0444);
    } else if (leftover == 2) {
      std::filesystem::remove(dir_ / "tempdct3.tmp");
      ASSERT_EQ(Run({"bad.480"}, As(1001, {}, 0777)).status, 1);
    }
    ExpectRun({"fw.480"}, Written(kOutput), 0, As(1001));
    ExpectOwnOutput(kOutput, 1001);
    EXPECT_FALSE(Exists("tempdct3.tmp")) << leftover;
  }
  ::chmod(dir_.Path().c_str(), 01777);
  Write("tempdct3.tmp", {7});
  ExpectRun({"fw.480"},
            kBanner +
                "Error: Cannot create file tempdct3.tmp.\n"
                "       A leftover of an earlier run is in the way, and this directory\n"
                "       does not let you remove it.\n\n",
            2, As(1001));
  EXPECT_EQ(Read("tempdct3.tmp"), Bytes{7});
  // User 1002 makes the hidden name that follows from user 1001's leftover,
  // which is reused: it is in the way of no run, and stays.
  std::filesystem::remove(dir_ / "tempdct3.tmp");
  ASSERT_EQ(Run({"bad.480"}, As(1001)).status, 1);
  struct stat st {};
  ASSERT_EQ(::stat((dir_ / "tempdct3.tmp").c_str(), &st), 0);
  const std::string planted = HiddenNameForFile("", {st.st_dev, st.st_ino});
  RunLimits plant = As(1002);
  plant.program = "touch";
  ASSERT_EQ(Run({planted}, plant).status, 0);
  ExpectRun({"fw.480"}, Written(kOutput), 0, As(1001));
  ExpectOwnOutput(kOutput, 1001);
  EXPECT_TRUE(Exists(planted));
}

// Two users in a group directory: the second waits for the first's live
// run, whose input is a pipe still being written, and both convert. Under
// umask 077 the second cannot even open the first's image to see its lock.
TEST_F(Users, RunsOfTwoUsersTakeTurns) {
  ::chown(dir_.Path().c_str(), 0, 100);
  ::chmod(dir_.Path().c_str(), 02775);
  Write("b.480", kInput);
  for (const unsigned umask : {002u, 077u}) {
    ASSERT_EQ(::mkfifo((dir_ / "p.480").c_str(), 0666), 0);
    auto first =
        std::async(std::launch::async, [&] { return Run({"p.480"}, As(1001, {}, umask)); });
    // Closed on exec: a second run that kept it would keep the pipe from ending.
    // OpenResult without waiting, so that a first run that never reads it ends the test.
    const std::string fifo = (dir_ / "p.480").string();
    int pipe = -1;
    WaitUntil([&] { return (pipe = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK)) >= 0; },
              first);
    ASSERT_GE(pipe, 0) << first.get().out;
    ::fcntl(pipe, F_SETFL, 0);  // the writes below wait for the reader
    ASSERT_EQ(::write(pipe, kInput.data(), 100), 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto second = std::async(std::launch::async, [&] { return Run({"b.480"}, As(1002, {}, 002)); });
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout);
    ASSERT_EQ(::write(pipe, kInput.data() + 100, kInput.size() - 100),
              static_cast<ssize_t>(kInput.size() - 100));
    ::close(pipe);
    const ProgramResult a = first.get(), b = second.get();
    EXPECT_EQ(a.out, Written("p_MCU_00200000.fls")) << umask;
    EXPECT_EQ(b.out, Written("b_MCU_00200000.fls")) << umask;
    EXPECT_EQ(Read("b_MCU_00200000.fls"), kImage);
    std::filesystem::remove(dir_ / "p.480");
    std::filesystem::remove(dir_ / "b_MCU_00200000.fls");
  }
}

// A run that has just made tempdct3.tmp locks it a moment later: in a
// sticky directory another user's run waits for it rather than taking it
// for a leftover it may not remove. Its own unreadable leftover that has
// another name gets its mode back; and the output takes the group of a
// shared directory it is named in, from wherever it was made.
TEST_F(Users, FreshFilesSharedGroupsAndModesAreKept) {
  ::chmod(dir_.Path().c_str(), 01777);
  std::filesystem::create_directories(dir_ / "a");
  ::chmod((dir_ / "a").c_str(), 0777);
  Write("a/fw.480", kInput);
  Write("fw.480", kInput);
  for (int round = 0; round < 3; ++round) {
    auto late = std::async(std::launch::async, [&] {
      return Run({"a/fw.480"},
                 As(1002, {"strace", "-f", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0",
                           "-e", "inject=flock:delay_enter=80000:when=1"}));
    });
    WaitUntil([&] { return Exists("tempdct3.tmp"); }, late);
    ExpectRun({"fw.480"}, Written(kOutput), 0, As(1001));
    EXPECT_EQ(late.get().status, 0);
    std::filesystem::remove(dir_ / kOutput);
  }
  Write("keep", {1});
  ::chown((dir_ / "keep").c_str(), 1001, 100);
  ::chmod((dir_ / "keep").c_str(), 0);
  std::filesystem::create_hard_link(dir_ / "keep", dir_ / "tempdct3.tmp");
  ExpectRun({"fw.480"}, Written(kOutput), 0, As(1001));
  EXPECT_EQ(std::filesystem::status(dir_ / "keep").permissions(), std::filesystem::perms::none);

  std::filesystem::create_directories(dir_ / "shared");
  ::chown((dir_ / "shared").c_str(), 0, 1234);
  ::chmod((dir_ / "shared").c_str(), 02777);
  Write("shared/fw.480", kInput);
  ExpectRun({"shared/fw.480"}, Written("shared/" + kOutput), 0, As(1001));
  struct stat st {};
  ASSERT_EQ(::stat((dir_ / "shared" / kOutput).c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, 1234u);
  EXPECT_EQ(Read("shared/" + kOutput), kImage);
}

// flock(1) on the directory, the common way to run jobs one at a time, is
// no lock the run waits for: here and when the output lies elsewhere.
TEST_F(Users, AParentsLockOnTheDirectoryNeverBlocks) {
  std::filesystem::create_directory(dir_ / "out");
  std::filesystem::create_directory(dir_ / "cwd");
  ::chmod((dir_ / "out").c_str(), 0777);
  ::chmod((dir_ / "cwd").c_str(), 0777);
  Write("fw.480", kInput);
  Write("out/fw.480", kInput);
  // A run that waits for ever is ended after 20 s.
  ExpectRun({"fw.480"}, Written(kOutput), 0, As(1001, {"timeout", "20", "flock", "."}));
  const std::string out = (dir_ / "out").string();
  ExpectProgram(dir_ / "cwd", {out + "/fw.480"}, Written(out + "/" + kOutput), 0,
                As(1001, {"timeout", "20", "flock", out}));
  EXPECT_EQ(ReadFile(dir_ / "out" / kOutput), kImage);
}

// Copied onto FAT under a hidden name, the image is not lost to a hangup
// that nohup ignores. Without nohup the hangup ends the run, and its copy is
// left for the next run there, which removes it once no run holds it.
TEST_F(Users, NohupHoldsWhileTheImageIsCopiedOntoFat) {
  MountedFileSystem fat(MountedFileSystem::Kind::kFat32);
  if (!fat.Mounted()) GTEST_SKIP() << "skipped: " << fat.Why();
  WriteFile(fat.Path() / "fw.480", kInput);
  const std::string input = (fat.Path() / "fw.480").string();
  for (const bool nohup : {false, true}) {
    RunLimits limits =
        As(1001, {"strace", "-f", "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0",
                  "-e", "inject=fdatasync:signal=SIGHUP:when=2"});
    limits.ignore_hangup = nohup;
    const ProgramResult result = Run({input}, limits);
    EXPECT_EQ(result.status, nohup ? 0 : -1) << result.out;
    const std::string listing = Listing(fat.Path());
    EXPECT_EQ(nohup ? listing : listing.substr(0, 10), nohup ? "fw.480 " + kOutput : ".kv2pelmo-");
  }
  EXPECT_EQ(ReadFile(fat.Path() / kOutput), kImage);
}

}  // namespace
}  // namespace kv2pelmo::test
