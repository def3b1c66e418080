// End-to-end cases that need POSIX means: links, locks, sockets, file-size limits.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <future>

#include "e2e_fixture.h"

namespace kv2pelmo::test {
namespace {

const std::string kCannotCreate = kBanner + "Error: Cannot create file tempdct3.tmp.\n\n";

using Posix = EndToEndTest;

// Returns true when other is a directory on another file system than the
// scratch directories.
bool OnAnotherFileSystem(const std::filesystem::path& other) {
  struct stat here {
  }, there{};
  return ::stat(std::filesystem::temp_directory_path().c_str(), &here) == 0 &&
         ::stat(other.c_str(), &there) == 0 && here.st_dev != there.st_dev;
}

// Returns the names in dir that a copy in progress would have.
std::vector<std::string> PartialCopies(const std::filesystem::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".kv2pelmo-", 0) == 0) found.push_back(name);
  }
  return found;
}

// A link of the image's name would send its truncation to another file: a
// symbolic one is refused, and a hard one (as a run killed while it named its
// image leaves) is unlinked and the image made anew.
TEST_F(Posix, TemporaryImageThatIsALinkIsNotTruncated) {
  Write("fw.480", Record(0x200000, {1}).Build());
  Write("precious", {1, 2, 3});
  std::filesystem::create_symlink("precious", dir_ / "tempdct3.tmp");
  ExpectRun({"fw.480"}, kCannotCreate, 2);
  std::filesystem::remove(dir_ / "tempdct3.tmp");
  std::filesystem::create_hard_link(dir_ / "precious", dir_ / "tempdct3.tmp");
  ExpectRun({"fw.480"}, Written("fw_MCU_00200000.fls"), 0);
  EXPECT_EQ(Read("fw_MCU_00200000.fls"), Join({{1}, Repeat(65535, 0xFF)}));
  EXPECT_EQ(Read("precious"), Bytes({1, 2, 3}));
  EXPECT_FALSE(Exists("tempdct3.tmp"));
}

// A run that finds the image held by another waits for it, then goes on;
// after a second it says so on standard error, and its output is as ever.
TEST_F(Posix, RunWaitsWhileAnotherHoldsTheImage) {
  Write("tempdct3.tmp", {5, 6});
  Write("fw.480", Record(0x200000, {1}).Build());
  Write("out.txt", {});
  RunLimits output;
  output.stdout_path = (dir_ / "out.txt").string();
  for (const int hold_ms : {300, 1600}) {
    const int fd = ::open((dir_ / "tempdct3.tmp").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    auto run = std::async(std::launch::async, [&] { return Run({"fw.480"}, output); });
    EXPECT_EQ(run.wait_for(std::chrono::milliseconds(hold_ms)), std::future_status::timeout);
    ::close(fd);
    const ProgramResult result = run.get();
    EXPECT_EQ(result.out, hold_ms < 1000
                              ? ""
                              : "kv2pelmo: waiting for another program to release tempdct3.tmp\n");
    EXPECT_EQ(result.status, 0);
    const Bytes written = Read("out.txt");
    EXPECT_EQ(std::string(written.begin(), written.end()), Written("fw_MCU_00200000.fls"));
    EXPECT_EQ(Read("fw_MCU_00200000.fls"), Join({{1}, Repeat(65535, 0xFF)}));
  }
}

// Only "no such file" makes a name missing: a name that cannot be looked up
// (a loop of links, a directory that cannot be searched) or opened (a
// socket) is the open's to report.
TEST_F(Posix, InputThatCannotBeOpenedIsAFileError) {
  std::filesystem::create_symlink("loop.480", dir_ / "loop.480");
  const std::string socket_path = (dir_ / "fw.480").string();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::vector<std::string> inputs = {"fw.480", "loop.480"};
  if (::geteuid() != 0) {  // root searches any directory
    std::filesystem::create_directory(dir_ / "locked");
    Write("locked/fw.480", Record(0x200000, {1}).Build());
    std::filesystem::permissions(dir_ / "locked", std::filesystem::perms::none);
    inputs.emplace_back("locked/fw.480");
  }
  for (const std::string& input : inputs) {
    ExpectRun({input}, kBanner + "Error: Cannot open file " + input + ".\n\n", 2);
  }
  ::close(fd);
  std::error_code absent;  // so that the scratch directory can go
  std::filesystem::permissions(dir_ / "locked", std::filesystem::perms::owner_all, absent);
}

// A file-size limit too: it fails the write, and does not kill the run.
TEST_F(Posix, FullDiskIsAWriteErrorAndNoOutput) {
  Write("fw_MCU_00200000.fls", {0xAB});
  Write("fw.480", Record(0x200000, Counting(5000)).Build());
  RunLimits limits;
  limits.max_file_size = 40000;
  ExpectRun({"fw.480"}, kBanner + "Error: Stream write error.\n\n", 2, limits);
  EXPECT_EQ(Read("fw_MCU_00200000.fls"), Bytes({0xAB}));
  EXPECT_EQ(Read("fw.480"), Record(0x200000, Counting(5000)).Build());
}

// Space is reserved ahead of the image as it grows; what it did not use must
// be given back, on success and when the run stops with an error alike.
TEST_F(Posix, ImageHoldsNoDiskSpaceBeyondItsBytes) {
  const auto allocated = [this](const std::string& name) {
    struct stat st {};
    EXPECT_EQ(::stat((dir_ / name).c_str(), &st), 0);
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
  };
  constexpr std::uint64_t kSlack = 64 * 1024;  // file system metadata
  Write("small.480", Record(0x200000, {1}).Build());
  ExpectRun({"small.480"}, Written("small_MCU_00200000.fls"), 0);
  EXPECT_LE(allocated("small_MCU_00200000.fls"), 65536 + kSlack);

  Bytes big;  // 5 MiB: more than one reservation
  for (std::uint32_t unit = 0; unit < 80; ++unit) {
    Record(0x200000 + unit * 65536, Counting(65536)).AppendTo(big);
  }
  Write("big.480", big);
  ExpectRun({"big.480"}, Written("big_MCU_00200000.fls"), 0);
  EXPECT_LE(allocated("big_MCU_00200000.fls"), 80 * 65536 + kSlack);

  Write("bad.480", Join({Record(0x200000, Counting(65536)).Build(),
                         Record(0x210000, {1}).WithDataChecksum(0).Build()}));
  ASSERT_EQ(Run({"bad.480"}).status, 1);
  EXPECT_LE(allocated("tempdct3.tmp"), 65536 + kSlack);
}

// The copy is made from the held image, under a short name of its own: it
// takes the image's permissions, and output names up to the limit work.
TEST_F(Posix, OutputOnAnotherFileSystemIsCopiedIntoPlace) {
  const std::filesystem::path other = "/dev/shm";
  if (!OnAnotherFileSystem(other)) GTEST_SKIP() << "no second file system at " << other;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const std::string longest(255 - std::string("_MCU_00200000.fls").size(), 'k');
  for (const std::string& stem : {"kv2pelmo-" + std::to_string(::getpid()), longest}) {
    const std::filesystem::path input = other / (stem + ".480");
    const std::filesystem::path output = other / (stem + "_MCU_00200000.fls");
    WriteFile(input, Record(0x200000, {1}).Build());
    WriteFile(output, {0xAB});
    ExpectRun({input.string()}, Written(output.string()), 0);
    EXPECT_EQ(ReadFile(output), Join({{1}, Repeat(65535, 0xFF)}));
    struct stat st {};
    EXPECT_EQ(::stat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
    EXPECT_FALSE(Exists("tempdct3.tmp"));
    std::filesystem::remove(input);
    std::filesystem::remove(output);
  }
  EXPECT_TRUE(PartialCopies(other).empty());
}

// An image that fits a small file system only with its holes (960 KiB, of
// which 72 KiB are data) is copied onto it holes and all.
TEST_F(Posix, HolesSurviveTheCopyOntoAnotherFileSystem) {
  const std::filesystem::path small = dir_ / "small";
  std::filesystem::create_directory(small);
  if (::geteuid() != 0 ||
      std::system(("mount -t tmpfs -o size=256k tmpfs " + small.string()).c_str()) != 0) {
    GTEST_SKIP() << "skipped: mounting a small tmpfs needs root";
  }
  struct Unmount {
    const std::filesystem::path& at;
    ~Unmount() { static_cast<void>(std::system(("umount " + at.string()).c_str())); }
  } unmount{small};
  const Bytes data = Counting(36864, 1);
  WriteFile(small / "fw.480", BlockFile({Record(0x200000, data), Record(0x2E7000, data)}));
  ExpectRun({(small / "fw.480").string()}, Written((small / "fw_MCU_00200000.fls").string()), 0);
  EXPECT_EQ(ReadFile(small / "fw_MCU_00200000.fls"),
            Join({data, Repeat(0xE7000 - 36864, 0), data}));
}

// Killed while it copies its image to another file system, a run leaves no
// partial copy there, and the old output as it was.
TEST_F(Posix, RunKilledWhileCopyingAcrossLeavesNoPartialCopy) {
  const std::filesystem::path other = "/dev/shm";
  if (!OnAnotherFileSystem(other)) GTEST_SKIP() << "no second file system at " << other;
  const std::filesystem::path input = other / ("kv2pelmo-" + std::to_string(::getpid()) + ".480");
  const std::filesystem::path output = other / (input.stem().string() + "_MCU_00000000.fls");
  Bytes big;  // 16 MiB: the copy takes long enough to be caught
  for (std::uint32_t unit = 0; unit < 256; ++unit) {
    Record(unit * 65536, Repeat(65536, static_cast<std::uint8_t>(unit))).AppendTo(big);
  }
  WriteFile(input, big);
  int killed = 0;
  for (int attempt = 0; attempt < 20 && killed < 3; ++attempt) {
    WriteFile(output, {0xAB});
    std::filesystem::remove(dir_ / "tempdct3.tmp");
    const pid_t pid = StartProgram(dir_.Path(), {input.string()});
    std::error_code missing;  // then the size is -1: not yet whole either
    while (std::filesystem::file_size(dir_ / "tempdct3.tmp", missing) + 1 <= 0x1000000 &&
           ::waitpid(pid, nullptr, WNOHANG) == 0) {
      ::usleep(20);
    }
    ::usleep(static_cast<useconds_t>(attempt % 5 * 500));  // into the copy, which follows
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) ++killed;
    EXPECT_TRUE(PartialCopies(other).empty());
    const std::uintmax_t size = std::filesystem::file_size(output);
    EXPECT_TRUE(size == 1 || size == 0x1000000) << size;
  }
  std::filesystem::remove(input);
  std::filesystem::remove(output);
  EXPECT_GT(killed, 0) << "never caught a run mid-way";
}

TEST_F(Posix, KilledRunLeavesTheOldOutputAndNoNewOne) {
  // Small records over 16 MiB: the run takes long enough to be caught mid-way.
  Bytes input;
  for (std::uint32_t address = 0; address < 0x1000000; address += 32) {
    Record(address, Counting(32, static_cast<std::uint8_t>(address))).AppendTo(input);
  }
  Write("fw.480", input);
  int killed = 0;
  for (int attempt = 0; attempt < 20 && killed < 3; ++attempt) {
    Write("fw_MCU_00000000.fls", {0xAB});
    std::filesystem::remove(dir_ / "tempdct3.tmp");
    const pid_t pid = StartProgram(dir_.Path(), {"fw.480"});
    const auto written = [&] {
      std::error_code missing;
      const std::uintmax_t size = std::filesystem::file_size(dir_ / "tempdct3.tmp", missing);
      return missing ? 0 : size;
    };
    // Strike once the image has begun to be written.
    while (written() == 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) ::usleep(20);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFSIGNALED(status)) continue;  // finished first: try again
    ++killed;
    EXPECT_EQ(Read("fw_MCU_00000000.fls"), Bytes({0xAB}));
    EXPECT_EQ(std::filesystem::file_size(dir_ / "fw.480"), input.size());
  }
  EXPECT_GT(killed, 0) << "never caught a run mid-way";
  EXPECT_EQ(Read("fw.480"), input);
}

}  // namespace
}  // namespace kv2pelmo::test
