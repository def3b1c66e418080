// End to end where users keep firmware (FAT32 and exFAT), with the naming's fallbacks forced,
// runs killed while they name their images, and the image synced before it is named.
#include <sys/stat.h>

#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "e2e_fixture.h"
#include "mounted_file_system.h"

namespace kv2pelmo::test {
namespace {

using Kind = MountedFileSystem::Kind;

const Bytes kInput = Record(0x200000, Counting(3000)).Build();
const Bytes kAlignator = Record(0x230000, {1}).Build();
// The data, the fill to 64 KiB, then the fill up to the alignator's start.
const Bytes kImage = Join({Counting(3000), Repeat(0x30000 - 3000, 0xFF)});
const std::string kOutput = "fw_MCU_00200000.fls";

// Runs the program in dir under strace with the given options; a leak check
// cannot run under a tracer.
ProgramResult RunTraced(const std::filesystem::path& dir, const std::vector<std::string>& options,
                        const std::vector<std::string>& args = {"fw.480"}) {
  RunLimits limits;
  limits.wrapper = {"strace", "-f", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0"};
  limits.wrapper.insert(limits.wrapper.end(), options.begin(), options.end());
  return RunProgram(dir, args, limits);
}

class OnFileSystem : public EndToEndTest, public ::testing::WithParamInterface<Kind> {
 protected:
  void SetUp() override {
    if (!fs_.Mounted()) GTEST_SKIP() << "skipped: " << fs_.Why();
  }
  std::filesystem::path There(const std::string& name) const { return fs_.Path() / name; }

  MountedFileSystem fs_{GetParam()};
};

// A leftover image from an earlier run is replaced too: on a file system
// without owners and modes every file shows the mount's, and the leftover is
// made anew, never taken over. So is an older output.
TEST_P(OnFileSystem, ConvertsInItsOwnDirectoryAndReplacesAnOlderOutput) {
  WriteFile(There("fw.480"), kInput);
  WriteFile(There("fw.48g"), kAlignator);
  WriteFile(There("tempdct3.tmp"), {9, 9, 9});
  for (const Bytes& older : {Bytes{}, Bytes{0xAB}}) {
    if (!older.empty()) WriteFile(There(kOutput), older);
    ExpectProgram(fs_.Path(), {"fw.480", "fw.48g"}, Written(kOutput), 0);
    EXPECT_EQ(ReadFile(There(kOutput)), kImage);
    EXPECT_EQ(Listing(fs_.Path()), "fw.480 fw.48g " + kOutput);
  }
  // Messages logged into a file beside the image, as scripts do: a file on
  // the same volume, whose name tells it is none of the run's.
  RunLimits logged;
  WriteFile(There("log.txt"), {});
  logged.stdout_path = There("log.txt").string();
  ExpectProgram(fs_.Path(), {"fw.480", "fw.48g"}, "", 0, logged);
  const std::string log = Written(kOutput);
  EXPECT_EQ(ReadFile(There("log.txt")), Bytes(log.begin(), log.end()));
}

// The image is written in the current directory and copied across. A run
// killed between the copy's fresh name and its identity's leaves an empty
// file, which the next run there removes.
TEST_P(OnFileSystem, InputThereAndCurrentDirectoryElsewhere) {
  WriteFile(There("fw.480"), kInput);
  WriteFile(There("fw.48g"), kAlignator);
  const std::vector<std::string> args = {There("fw.480").string(), There("fw.48g").string()};
  const ProgramResult killed = RunTraced(
      dir_.Path(), {"-o", "/dev/null", "-e", "inject=rename:signal=SIGKILL:when=1"}, args);
  EXPECT_EQ(killed.status, -1);
  EXPECT_EQ(Listing(fs_.Path()).substr(0, 10), ".kv2pelmo-");
  ExpectRun(args, Written(There(kOutput).string()), 0);
  EXPECT_EQ(ReadFile(There(kOutput)), kImage);
  EXPECT_EQ(Listing(fs_.Path()), "fw.480 fw.48g " + kOutput);
  EXPECT_EQ(Listing(dir_.Path()), "");
}

// The image is written there and copied out, with the mode of a new file.
TEST_P(OnFileSystem, CurrentDirectoryThereAndInputElsewhere) {
  Write("fw.480", kInput);
  Write("fw.48g", kAlignator);
  const std::string input = (dir_ / "fw.480").string();
  ExpectProgram(fs_.Path(), {input, (dir_ / "fw.48g").string()}, Written((dir_ / kOutput).string()),
                0);
  EXPECT_EQ(Read(kOutput), kImage);
  EXPECT_EQ(Listing(dir_.Path()), "fw.480 fw.48g " + kOutput);
  EXPECT_EQ(Listing(fs_.Path()), "");
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(std::filesystem::status(dir_ / kOutput).permissions(),
            static_cast<std::filesystem::perms>(0666 & ~mask));
}

// There each spelling of a name shows its own inode: the input or the
// alignator under another case of tempdct3.tmp or of the output's name is
// still refused, and kept.
TEST_P(OnFileSystem, OtherSpellingsOfTheInputAndAlignatorAreRefused) {
  WriteFile(There("fw.480"), kInput);
  WriteFile(There("TEMPDCT3.TMP"), kAlignator);
  WriteFile(There("FW_MCU_00200000.FLS"), kAlignator);
  const std::string create = kBanner + "Error: Cannot create file tempdct3.tmp.\n\n";
  ExpectProgram(fs_.Path(), {"TEMPDCT3.TMP"}, create, 2);
  ExpectProgram(fs_.Path(), {"fw.480", "TEMPDCT3.TMP"}, create, 2);
  EXPECT_EQ(ReadFile(There("TEMPDCT3.TMP")), kAlignator);
  // Taken as a leftover now, TEMPDCT3.TMP holds the image that is not named.
  ExpectProgram(fs_.Path(), {"fw.480", "FW_MCU_00200000.FLS"},
                Written(kOutput) + "Error: Cannot rename tempdct3.tmp to " + kOutput + ".\n       " + kOutput +
                    " is the alignator file, which is never written over.\n\n",
                2);
  EXPECT_EQ(ReadFile(There("FW_MCU_00200000.FLS")), kAlignator);
}

// fusefat refuses a write that starts past the end of a file whose size is
// no whole number of clusters: records 0x90000 and 0x300000 apart still
// convert with the current directory there, and with the output there.
TEST_P(OnFileSystem, RecordsFarApartConvertThere) {
  const Bytes input = BlockFile({Record(0x200000, Counting(16)), Record(0x290000, {1}),
                                 Record(0x590000, {2})});
  // Gaps between records read as zeros; the fill after the last is 0xFF.
  const Bytes image = Join({Counting(16), Repeat(0x90000 - 16, 0), {1}, Repeat(0x2FFFFF, 0), {2},
                            Repeat(0xFFFF, 0xFF)});
  Write("fw.480", input);
  ExpectProgram(fs_.Path(), {(dir_ / "fw.480").string()}, Written((dir_ / kOutput).string()), 0);
  EXPECT_EQ(Read(kOutput), image);
  WriteFile(There("fw.480"), input);
  ExpectRun({There("fw.480").string()}, Written(There(kOutput).string()), 0);
  EXPECT_EQ(ReadFile(There(kOutput)), image);
}

INSTANTIATE_TEST_SUITE_P(FatAndExfat, OnFileSystem, ::testing::Values(Kind::kFat32, Kind::kExfat));

using Naming = EndToEndTest;

// Where links are refused, the checked name is renamed; where a file cannot
// be made without a name, a named copy is; a mode that cannot be set is no
// failure.
TEST_F(Naming, EveryFallbackGivesTheRightImage) {
  const std::filesystem::path other = "/dev/shm";
  const std::filesystem::path shm_dir = other / ("kv2pelmo-" + std::to_string(::getpid()));
  std::filesystem::create_directory(shm_dir);
  const std::string across = (shm_dir / "fw.480").string();
  WriteFile(across, kInput);
  Write("fw.480", kInput);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-o", "/dev/null", "-e", "inject=linkat:error=EPERM"}, "fw.480"},
      {{"-o", "/dev/null", "-e", "inject=linkat:error=EOPNOTSUPP"}, "fw.480"},
      {{"-o", "/dev/null", "-e", "inject=fchmod,fchmodat:error=EPERM"}, "fw.480"},
      // The directory's own open comes first, then the nameless file's.
      {{"-o", "/dev/null", "-P", shm_dir.string() + "/", "-e",
        "inject=openat:error=EOPNOTSUPP:when=2"},
       across},
  };
  for (const auto& [options, input] : cases) {
    const std::filesystem::path output = std::filesystem::path(input).parent_path() / kOutput;
    std::filesystem::remove(dir_ / kOutput);
    std::filesystem::remove(shm_dir / kOutput);
    const ProgramResult result = RunTraced(dir_.Path(), options, {input});
    EXPECT_EQ(result.out, Written(input == across ? output.string() : kOutput)) << options.back();
    EXPECT_EQ(result.status, 0) << options.back();
    EXPECT_EQ(ReadFile(input == across ? output : dir_ / kOutput),
              Join({Counting(3000), Repeat(65536 - 3000, 0xFF)}));
    EXPECT_EQ(Listing(dir_.Path()), "fw.480" + (input == across ? "" : " " + kOutput));
    EXPECT_EQ(Listing(shm_dir), input == across ? "fw.480 " + kOutput : "fw.480");
  }
  std::filesystem::remove_all(shm_dir);
}

// Killed at the link or at the rename after it, a run leaves the image with
// two names, or a hidden one: the next run goes on, and leaves neither.
TEST_F(Naming, RunKilledWhileNamingNeverBlocksTheNext) {
  Write("fw.480", kInput);
  for (const char* at : {"linkat", "rename"}) {
    const ProgramResult killed = RunTraced(
        dir_.Path(), {"-o", "/dev/null", "-e", std::string("inject=") + at + ":signal=SIGKILL"});
    EXPECT_EQ(killed.status, -1) << at;
    ExpectRun({"fw.480"}, Written(kOutput), 0);
    EXPECT_EQ(Read(kOutput), Join({Counting(3000), Repeat(65536 - 3000, 0xFF)}));
    EXPECT_EQ(Listing(dir_.Path()), "fw.480 " + kOutput) << at;
  }
}

// A run waiting its turn while the holder is killed mid-naming goes on too.
TEST_F(Naming, RunWaitingWhileTheHolderIsKilledGoesOn) {
  Write("fw.480", kInput);
  auto holder = std::async(std::launch::async, [this] {
    return RunTraced(dir_.Path(), {"-o", "/dev/null", "-e", "inject=linkat:delay_enter=1500000",
                                   "-e", "inject=rename:signal=SIGKILL"});
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const ProgramResult waiter = Run({"fw.480"});
  EXPECT_EQ(holder.get().status, -1);
  EXPECT_EQ(waiter.out, Written(kOutput));
  EXPECT_EQ(waiter.status, 0);
  EXPECT_EQ(Read(kOutput), Join({Counting(3000), Repeat(65536 - 3000, 0xFF)}));
  EXPECT_EQ(Listing(dir_.Path()), "fw.480 " + kOutput);
}

// Returns the system call names in an strace log, in order.
std::vector<std::string> Calls(const std::filesystem::path& log) {
  std::ifstream in(log);
  std::vector<std::string> calls;
  for (std::string line; std::getline(in, line);) {
    const std::size_t paren = line.find('(');
    const std::size_t start = line.rfind(' ', paren);  // after the process id
    if (paren != std::string::npos) calls.push_back(line.substr(start + 1, paren - start - 1));
  }
  return calls;
}

// The image's bytes reach the disk before any name is given to them, and the
// directory's entry after: a crash can lose the new name, not the bytes.
TEST_F(Naming, ImageIsSyncedBeforeItIsNamedAndTheDirectoryAfter) {
  Write("fw.480", kInput);
  const std::filesystem::path other = "/dev/shm/kv2pelmo-" + std::to_string(::getpid());
  std::filesystem::create_directory(other);
  WriteFile(other / "fw.480", kInput);
  const std::string log = (dir_ / "calls.log").string();
  // With links, where they are refused and the checked name is renamed, and
  // across file systems, where the copy is synced before it is named.
  for (const int how : {0, 1, 2}) {
    std::filesystem::remove(dir_ / kOutput);
    std::vector<std::string> options = {"-o", log, "-e", "trace=fdatasync,fsync,linkat,rename"};
    if (how == 1) options.insert(options.end(), {"-e", "inject=linkat:error=EPERM"});
    const std::string input = how == 2 ? (other / "fw.480").string() : "fw.480";
    EXPECT_EQ(RunTraced(dir_.Path(), options, {input}).status, 0);
    std::ostringstream seen;
    for (const std::string& call : Calls(log)) seen << call << ' ';
    EXPECT_EQ(seen.str(), how == 2 ? "fdatasync linkat fdatasync linkat rename fsync "
                                   : "fdatasync linkat rename fsync ")
        << how;
    std::filesystem::remove(log);
  }
  EXPECT_EQ(ReadFile(other / kOutput), Join({Counting(3000), Repeat(65536 - 3000, 0xFF)}));
  std::filesystem::remove_all(other);
}

}  // namespace
}  // namespace kv2pelmo::test
