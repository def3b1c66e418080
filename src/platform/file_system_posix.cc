// The file system's primitives on Linux: descriptors, flock, links through /proc, O_TMPFILE.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>

#include "handover/file_system.h"
#include "platform/lock_table.h"
#include "platform/posix_file.h"
#include "platform/process.h"

namespace kv2pelmo {
namespace {

using Kind = FileError::Kind;

OpenResult Held(int fd, const std::string& path, bool writable) {
  return OpenResult{std::make_unique<PosixHeldFile>(fd, path, writable)};
}

OpenResult Refused() {
  switch (errno) {
    case EEXIST:
      return OpenResult{nullptr, OpenFailure::kExists};
    case ENOENT:
      return OpenResult{nullptr, OpenFailure::kMissing};
    case EACCES:
    case EPERM:
      return OpenResult{nullptr, OpenFailure::kDenied};
    case EOPNOTSUPP:
    case EISDIR:  // kernels before O_TMPFILE take it for O_DIRECTORY
      return OpenResult{nullptr, OpenFailure::kUnsupported};
    default:
      return OpenResult{nullptr, OpenFailure::kOther};
  }
}

class PosixFileSystem final : public FileSystem {
 public:
  // A device is read like any file: /dev/zero is an endless block file.
  bool IsDevice(const std::string&) override { return false; }

  Lookup Look(const std::string& path, bool follow_links) override {
    return LookAt(path, follow_links);
  }

  // A named pipe is opened as any reader opens it: waiting for its writer,
  // whose data would otherwise look like an empty file.
  std::unique_ptr<InputStream> OpenForReading(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw FileError(Kind::kOpen, path);
    return std::make_unique<InputStream>(std::make_unique<PosixFile>(fd, path, Kind::kRead), path);
  }

  OpenResult Create(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return fd >= 0 ? Held(fd, path, true) : Refused();
  }

  // A special file is opened without waiting or becoming the terminal, to
  // be refused unread.
  OpenResult OpenExisting(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDWR | kOpenFlags);
    if (fd >= 0) return Held(fd, path, true);
    if (errno == EACCES || errno == EPERM || errno == EROFS || errno == EISDIR) {
      fd = ::open(path.c_str(), O_RDONLY | kOpenFlags);
      if (fd >= 0) return Held(fd, path, false);
      if (errno == EACCES) return OpenOwn(path);
    }
    return Refused();
  }

  OpenResult CreateAnonymous(const std::string& directory) override {
    const int fd = ::open(DirectoryName(directory), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    return fd >= 0 ? Held(fd, directory, true) : Refused();
  }

  RenameResult Rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) == 0) return RenameResult::kRenamed;
    return errno == EXDEV ? RenameResult::kCopyNeeded : RenameResult::kFailed;
  }

  InUse LockedByAnyone(const FileFacts& file) override;

 private:
  static constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  OpenResult OpenOwn(const std::string& path);

 public:
  bool NameFits(const std::string& directory, const std::string& name) override {
    const long longest = ::pathconf(DirectoryName(directory), _PC_NAME_MAX);
    return longest < 0 || name.size() <= static_cast<std::size_t>(longest);
  }

  std::vector<std::string> List(const std::string& directory) override {
    std::vector<std::string> names;
    DIR* dir = ::opendir(DirectoryName(directory));
    if (dir == nullptr) return names;
    // The stream is this call's own, and the program has one thread.
    while (const dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
      names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
  }

  // A FUSE driver numbers what each lookup finds: FAT and exFAT drivers give
  // every spelling of a name its own inode.
  bool StableIdentities(const std::string& directory) override {
    struct statfs info {};
    return ::statfs(DirectoryName(directory), &info) == 0 &&
           static_cast<long>(info.f_type) != kFuseMagic;
  }

  // The image's bytes are on the disk already: should this fail, a crash can
  // lose the new name, never give it a wrong image.
  void SyncDirectory(const std::string& directory) override {
    const int fd = ::open(DirectoryName(directory), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    static_cast<void>(::fsync(fd));
    ::close(fd);
  }

  std::vector<Lookup> StandardStreams() override {
    std::vector<Lookup> streams;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
      struct stat st {};
      const int status = ::fstat(fd, &st);
      streams.push_back(status != 0 && errno == EBADF ? Lookup{Lookup::State::kMissing, {}}
                                                      : FactsOf(status, st));
    }
    return streams;
  }

  std::string StandardStreamName(std::size_t index) override {
    char name[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(index);
    const ssize_t length = ::readlink(link.c_str(), name, sizeof name);
    // A pipe or a socket has no name: "pipe:[...]".
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof name || name[0] != '/') {
      return std::string();
    }
    return std::string(name, static_cast<std::size_t>(length));
  }

  void Sleep(int milliseconds) override { ::usleep(static_cast<useconds_t>(milliseconds) * 1000); }

  std::uint64_t UniqueNumber() override {
    static std::atomic<std::uint64_t> counter{0};
    const auto stamp =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return stamp ^ (static_cast<std::uint64_t>(::getpid()) << 40) ^ (counter++ << 20);
  }
};

// This user's own file that it may neither read nor write (made under umask
// 0777, say) and that no program holds, as far as the table of locks shows,
// is opened through a handle on that very file, made readable and writable
// for a moment, so that its real lock can be tested; its mode comes back
// when the run lets go of it. Anyone else's stays unopened.
OpenResult PosixFileSystem::OpenOwn(const std::string& path) {
  const int file = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (file < 0 || ::fstat(file, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    if (file >= 0) ::close(file);
    return OpenResult{nullptr, OpenFailure::kDenied};
  }
  // A live run's (under umask 0777 too) is left alone: only one that no
  // program seems to hold is touched.
  const InUse in_use = LockedByAnyone(FactsOf(0, st).facts);
  if (in_use != InUse::kNo) {
    ::close(file);
    return OpenResult{nullptr, in_use == InUse::kYes ? OpenFailure::kBusy : OpenFailure::kDenied};
  }
  const std::string self = "/proc/self/fd/" + std::to_string(file);
  int fd = -1;
  if (::chmod(self.c_str(), 0600) == 0) {
    fd = ::open(self.c_str(), O_RDWR | (kOpenFlags & ~O_NOFOLLOW));  // the file itself
    if (fd < 0) static_cast<void>(::chmod(self.c_str(), st.st_mode & 07777));
  }
  ::close(file);
  if (fd < 0) return OpenResult{nullptr, OpenFailure::kDenied};
  // Not to be written: the run makes it anew, and it gets its mode back.
  auto held = std::make_unique<PosixHeldFile>(fd, path, false);
  held->RestoreModeAtEnd(st.st_mode & 07777);
  return OpenResult{std::move(held)};
}

// The lock table shows only the locks of this PID namespace's processes:
// in any other namespace than the first, a lock not seen may still be held.
bool InFirstPidNamespace() {
  constexpr char kFirst[] = "pid:[4026531836]";
  char link[64] = {};
  return ::readlink("/proc/self/ns/pid", link, sizeof link - 1) ==
             static_cast<ssize_t>(sizeof kFirst - 1) &&
         std::string(link) == kFirst;
}

InUse PosixFileSystem::LockedByAnyone(const FileFacts& file) {
  std::ifstream mounts("/proc/self/mountinfo");
  if (!InFirstPidNamespace() || !mounts ||
      !LockTableNamesDevice(mounts, major(file.id.volume), minor(file.id.volume))) {
    return InUse::kUnknown;
  }
  std::ifstream table("/proc/locks");
  if (!table) return InUse::kUnknown;
  return HeldInLockTable(table, major(file.id.volume), minor(file.id.volume), file.id.index);
}

}  // namespace

FileSystem& PlatformFileSystem() {
  static PosixFileSystem files;
  return files;
}

bool PrepareProcess() {
  // A file-size limit must fail the write, as a full disk does, and a closed
  // pipe the report, not end the process without a word.
  // (These fail only for a signal number that does not exist.)
  static_cast<void>(::signal(SIGXFSZ, SIG_IGN));
  static_cast<void>(::signal(SIGPIPE, SIG_IGN));
  bool output_open = true;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) output_open = false;
    // The lowest free number: this one. No file of the run may take it, or
    // the messages would be written into that file.
    const int null_fd = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null_fd != fd) return false;
  }
  return output_open;
}

const char* PathSeparators() { return "/"; }

std::string WithoutTrailingDotsAndSpaces(const std::string& path) { return path; }

}  // namespace kv2pelmo
