// End to end against a hostile directory, hard limits and odd inputs: success always means the
// right image.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "e2e_fixture.h"

namespace kv2pelmo::test {
namespace {

using Hostile = EndToEndTest;

const Bytes kImage = Join({{1}, Repeat(65535, 0xFF)});

// Runs the program under strace with one system call delayed, in the
// background. (A leak check cannot run under a tracer.)
std::future<ProgramResult> RunDelayed(const std::filesystem::path& dir, const std::string& delay,
                                      const std::string& only_on = std::string()) {
  RunLimits limits;
  limits.wrapper = {"strace", "-f", "-qq", "-o", "/dev/null", "-E", "ASAN_OPTIONS=detect_leaks=0"};
  if (!only_on.empty()) limits.wrapper.insert(limits.wrapper.end(), {"-P", only_on});
  limits.wrapper.insert(limits.wrapper.end(), {"-e", "inject=" + delay});
  return std::async(std::launch::async,
                    [dir, limits] { return RunProgram(dir, {"fw.480"}, limits); });
}

// Waits until the image is written whole, then a little longer.
void AwaitWholeImage(const std::filesystem::path& image) {
  std::error_code missing;
  for (int i = 0; i < 1000 && std::filesystem::file_size(image, missing) != 65536; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

// Puts a link to victim in the image's place, moving the image to aside.
void SwapInALink(const ScopedTempDir& dir) {
  std::filesystem::rename(dir / "tempdct3.tmp", dir / "aside");
  std::filesystem::create_symlink("victim", dir / "tempdct3.tmp");
}

// The swap comes while the image is being given its final name: it is the
// held file that gets the name, never the link.
TEST_F(Hostile, LinkSwappedInDuringTheRenameIsNeverNamed) {
  Write("victim", {7, 7, 7});
  Write("fw.480", Record(0x200000, {1}).Build());
  auto run = RunDelayed(dir_.Path(), "linkat:delay_enter=1000000");
  AwaitWholeImage(dir_ / "tempdct3.tmp");
  SwapInALink(dir_);
  const ProgramResult result = run.get();
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_FALSE(std::filesystem::is_symlink(dir_ / "fw_MCU_00200000.fls"));
  EXPECT_EQ(Read("fw_MCU_00200000.fls"), kImage);
  EXPECT_EQ(Read("victim"), Bytes({7, 7, 7}));
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "tempdct3.tmp"));
}

// The swap comes before the final check: the run fails and names nothing.
TEST_F(Hostile, LinkSwappedInBeforeTheRenameFailsTheRun) {
  Write("victim", {7, 7, 7});
  Write("fw_MCU_00200000.fls", {0xAB});
  Write("fw.480", Record(0x200000, {1}).Build());
  // The image is flushed in one write, just before the final check.
  auto run =
      RunDelayed(dir_.Path(), "write:delay_exit=1000000:when=1", (dir_ / "tempdct3.tmp").string());
  AwaitWholeImage(dir_ / "tempdct3.tmp");
  SwapInALink(dir_);
  const ProgramResult result = run.get();
  EXPECT_EQ(result.out, Written("fw_MCU_00200000.fls") +
                            "Error: Cannot rename tempdct3.tmp to fw_MCU_00200000.fls.\n\n");
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(Read("fw_MCU_00200000.fls"), Bytes({0xAB}));
  EXPECT_EQ(Read("victim"), Bytes({7, 7, 7}));
  EXPECT_EQ(Read("aside"), kImage);
}

// A leftover image must not lend the output another owner or its mode.
TEST_F(Hostile, LeftoverOfAnotherUserOrWithOddModeIsReplaced) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  Write("fw.480", Record(0x200000, {1}).Build());
  for (const mode_t mode : {mode_t{0666}, mode_t{04777}}) {
    Write("tempdct3.tmp", Repeat(10, 0x11));
    ASSERT_EQ(::chmod((dir_ / "tempdct3.tmp").c_str(), mode), 0);
    const bool foreign =
        ::geteuid() == 0 && ::chown((dir_ / "tempdct3.tmp").c_str(), 65534, 65534) == 0;
    // Held by a program, another user's or not, it may be a live run's: the
    // run waits its turn, then makes the leftover anew.
    const int held = ::open((dir_ / "tempdct3.tmp").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    auto run = std::async(std::launch::async, [this] { return Run({"fw.480"}); });
    ASSERT_EQ(run.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    ::close(held);
    ASSERT_EQ(run.get().status, 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "fw_MCU_00200000.fls").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, ::geteuid()) << "foreign leftover: " << foreign;
    EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask) << "leftover mode " << std::oct << mode;
    EXPECT_EQ(Read("fw_MCU_00200000.fls"), kImage);
  }
}

// The longest record is read, checked and placed in pieces, and many
// records that hop are described as they are converted: under the same
// limit, no input needs more memory than any other.
TEST_F(Hostile, EveryInputConvertsAndIsDescribedInLittleMemory) {
#ifdef KV2PELMO_SANITIZED
  GTEST_SKIP() << "skipped: a sanitized program needs more address space than any limit leaves";
#endif
  RunLimits limits;
  limits.max_memory = 20000 * 1024;
  const Bytes data = Counting(0xFFFFFF);
  Write("fw.480", Record(0, data).Build());
  ExpectRun({"fw.480"}, Written("fw_MCU_00000000.fls"), 0, limits);
  EXPECT_EQ(Read("fw_MCU_00000000.fls"), Join({data, {0xFF}}));

  Bytes banks;  // two flash banks 8 MiB apart, written in turn
  for (std::uint32_t i = 0; i < 2000000; ++i)
    Record(i / 2 + (i % 2) * 0x800000, {1}).AppendTo(banks);
  Write("banks.480", banks);
  ExpectRun({"--info", "banks.480"},
            kBanner +
                "Image kind: MCU\nBase address: 0x000000\nRecords: 2000000\n"
                "Range: 0x000000 to 0x0F423F, 1000000 bytes\n"
                "Range: 0x800000 to 0x8F423F, 1000000 bytes\n"
                "Image size: 9437184 bytes\nOutput name: banks_MCU_00000000.fls\n\n",
            0, limits);
  ExpectRun({"banks.480"}, Written("banks_MCU_00000000.fls"), 0, limits);
  EXPECT_EQ(Read("banks_MCU_00000000.fls").size(), 9437184u);
}

TEST_F(Hostile, MessagesThatCannotBeWrittenFailTheRun) {
  Write("fw.480", Record(0x200000, {1}).Build());
  // A report nobody can read names nothing: the older output stays.
  RunLimits full;
  full.stdout_path = "/dev/full";
  RunLimits closed_pipe;
  closed_pipe.stdout_path = "|";
  for (const RunLimits& limits : {full, closed_pipe}) {
    Write("fw_MCU_00200000.fls", {0xAB});
    ExpectRun({"fw.480"}, "kv2pelmo: the messages could not be written to standard output\n", 2,
              limits);
    EXPECT_EQ(Read("fw_MCU_00200000.fls"), Bytes({0xAB}));
    EXPECT_EQ(Read("tempdct3.tmp"), kImage);
    EXPECT_EQ(Read("fw.480"), Record(0x200000, {1}).Build());
  }
  std::filesystem::remove(dir_ / "fw_MCU_00200000.fls");
  std::filesystem::remove(dir_ / "tempdct3.tmp");

  RunLimits closed;
  closed.stdout_path = "";
  ExpectRun({"fw.480"}, "kv2pelmo: standard output is closed; nothing was done\n", 2, closed);
  EXPECT_FALSE(Exists("tempdct3.tmp"));
  EXPECT_FALSE(Exists("fw_MCU_00200000.fls"));
}

// Standard output sent into the image's name would mix the messages into the
// image: the run refuses it, and the messages land where they were sent.
TEST_F(Hostile, StandardOutputIntoTheTemporaryImageIsRefused) {
  Write("fw.480", Record(0x200000, {1}).Build());
  Write("tempdct3.tmp", {});
  RunLimits into_image;
  into_image.stdout_path = (dir_ / "tempdct3.tmp").string();
  ExpectRun({"fw.480"}, "", 2, into_image);
  const std::string refusal = kBanner + "Error: Cannot create file tempdct3.tmp.\n\n";
  EXPECT_EQ(Read("tempdct3.tmp"), Bytes(refusal.begin(), refusal.end()));
  EXPECT_FALSE(Exists("fw_MCU_00200000.fls"));
  EXPECT_EQ(Read("fw.480"), Record(0x200000, {1}).Build());
}

// The end of the input is where reading stops, not a size: a pipe converts,
// and an endless device is read like any file.
TEST_F(Hostile, PipesAndDevicesAreReadToTheirEnd) {
  ASSERT_EQ(::mkfifo((dir_ / "fw.480").c_str(), 0600), 0);
  auto writer = std::async(std::launch::async,
                           [this] { WriteFile(dir_ / "fw.480", Record(0x200000, {1}).Build()); });
  const ProgramResult piped = Run({"fw.480"});
  writer.get();
  EXPECT_EQ(piped.out, Written("fw_MCU_00200000.fls"));
  EXPECT_EQ(Read("fw_MCU_00200000.fls"), kImage);

  // Started before the pipe has a writer, as input or as alignator, the
  // program waits for it as any reader does.
  ASSERT_EQ(::mkfifo((dir_ / "fw.48g").c_str(), 0600), 0);
  Write("plain.480", Record(0x200000, {1}).Build());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"fw.480"}, {"plain.480", "fw.48g"}}) {
    auto run = std::async(std::launch::async, [this, args] { return Run(args); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const bool alignator = args.size() == 2;
    WriteFile(dir_ / args.back(),
              alignator ? Record(0x220000, {}).Build() : Record(0x200000, {1}).Build());
    const ProgramResult late = run.get();
    const std::string output = alignator ? "plain_MCU_00200000.fls" : "fw_MCU_00200000.fls";
    EXPECT_EQ(late.out, Written(output));
    EXPECT_EQ(Read(output), alignator ? Join({{1}, Repeat(0x1FFFF, 0xFF)}) : kImage);
  }

  ExpectRun({"/dev/zero"}, kBanner + "Error: Invalid block ID at 0x000000.\n\n", 1);
}

}  // namespace
}  // namespace kv2pelmo::test
