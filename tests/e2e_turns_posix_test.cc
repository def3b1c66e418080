// End to end, two users' runs taking turns where the lock table cannot show the first's lock:
// a btrfs subvolume, an overlay, and a second run in another PID namespace.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

#include "e2e_fixture.h"

namespace kv2pelmo::test {
namespace {

const Bytes kInput = Record(0x200000, Counting(3000)).Build();
enum class Where { kBtrfsSubvolume, kOverlay, kPidNamespace };

void PrintTo(Where where, std::ostream* out) {
  *out << (where == Where::kBtrfsSubvolume ? "BtrfsSubvolume"
           : where == Where::kOverlay      ? "Overlay"
                                           : "PidNamespace");
}

class Turns : public EndToEndTest, public ::testing::WithParamInterface<Where> {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "skipped: running as other users needs root";
    const std::string base = dir_.Path().string();
    const std::string path = "PATH=$PATH:/usr/sbin:/sbin; ";
    std::string mount;
    if (GetParam() == Where::kBtrfsSubvolume) {
      mount = "truncate -s 300M " + base + "/b.img && mkfs.btrfs -q " + base + "/b.img && mkdir " +
              base + "/m && mount -o loop " + base + "/b.img " + base +
              "/m && btrfs -q subvolume create " + base + "/m/sv";
      work_ = dir_ / "m" / "sv";
    } else if (GetParam() == Where::kOverlay) {
      // A tmpfs beneath an upper on a disk: the lock table names another
      // device than stat (over a tmpfs upper the two agree).
      mount = "mkdir " + base + "/m " + base + "/o && truncate -s 64M " + base +
              "/e.img && mkfs.ext4 -q " + base + "/e.img && mount -o loop " + base + "/e.img " +
              base + "/m && mkdir " + base + "/m/l " + base + "/m/u " + base +
              "/m/w && mount -t tmpfs none " + base + "/m/l" +
              " && mount -t overlay overlay -o lowerdir=" + base + "/m/l,upperdir=" + base +
              "/m/u,workdir=" + base + "/m/w " + base + "/o";
      work_ = dir_ / "o";
    } else {
      mount = "unshare --pid --fork --mount-proc true";
      work_ = dir_ / "w";
      std::filesystem::create_directory(work_);
    }
    if (std::system((path + "(" + mount + ") >/dev/null 2>&1").c_str()) != 0) {
      GTEST_SKIP() << "skipped: cannot do here: " << mount;
    }
    mounted_ = GetParam() != Where::kPidNamespace;
    ::chmod(dir_.Path().c_str(), 0755);
    ::chmod(work_.c_str(), 0777);
    const std::string why = program_.Unreachable(work_);
    if (!why.empty()) GTEST_SKIP() << why;
  }
  void TearDown() override {
    if (!mounted_) return;
    const std::string top = (dir_ / (GetParam() == Where::kOverlay ? "o" : "m")).string();
    std::system(("umount " + top +
                 (GetParam() == Where::kOverlay ? " && umount -R " + (dir_ / "m").string() : ""))
                    .c_str());
  }
  // Runs as user uid, under umask 077 so that the other cannot open its
  // image, standard error going to err.
  RunLimits As(int uid, const std::string& err, bool other_namespace) const {
    RunLimits limits = program_.As(uid);
    if (other_namespace)
      limits.wrapper.insert(limits.wrapper.begin(), {"unshare", "--pid", "--fork", "--mount-proc"});
    limits.wrapper.insert(limits.wrapper.end(), {"sh", "-c", "exec \"$@\" 2>" + err, "sh"});
    limits.umask = 077;
    return limits;
  }

  std::filesystem::path work_;
  bool mounted_ = false;
  ProgramForOtherUsers program_;
};

// The first run's input is a pipe still being written: the second waits,
// says so, and converts once the first has named its image.
TEST_P(Turns, TheSecondUserWaitsSaysSoAndConverts) {
  WriteFile(work_ / "b.480", kInput);
  ::chmod((work_ / "b.480").c_str(), 0644);
  ASSERT_EQ(::mkfifo((work_ / "p.480").c_str(), 0666), 0);
  const std::string err = (work_ / "err").string();  // where user 1002 may write
  auto first = std::async(std::launch::async, [&] {
    return RunProgram(work_, {"p.480"}, As(1001, "/dev/null", false));
  });
  const int pipe = ::open((work_ / "p.480").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(::write(pipe, kInput.data(), 100), 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  auto second = std::async(std::launch::async, [&] {
    return RunProgram(work_, {"b.480"}, As(1002, err, GetParam() == Where::kPidNamespace));
  });
  EXPECT_EQ(second.wait_for(std::chrono::milliseconds(1500)), std::future_status::timeout);
  ASSERT_EQ(::write(pipe, kInput.data() + 100, kInput.size() - 100),
            static_cast<ssize_t>(kInput.size() - 100));
  ::close(pipe);
  EXPECT_EQ(first.get().out, Written("p_MCU_00200000.fls"));
  EXPECT_EQ(second.get().out, Written("b_MCU_00200000.fls"));
  EXPECT_EQ(ReadFile(work_ / "b_MCU_00200000.fls"),
            Join({Counting(3000), Repeat(65536 - 3000, 0xFF)}));
  std::ifstream notice(err);
  std::string line;
  std::getline(notice, line);
  EXPECT_EQ(line, "kv2pelmo: waiting for another program to release tempdct3.tmp");
}

INSTANTIATE_TEST_SUITE_P(WhereLocksHide, Turns,
                         ::testing::Values(Where::kBtrfsSubvolume, Where::kOverlay,
                                           Where::kPidNamespace));

}  // namespace
}  // namespace kv2pelmo::test
