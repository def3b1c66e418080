// The file system's primitives on Linux: descriptors, flock, links through /proc, O_TMPFILE.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/file_system.h"
#include "platform/posix_file.h"

namespace kv2pelmo {
namespace {

using Kind = FileError::Kind;

Lookup FactsOf(int status, const struct stat& st) {
  Lookup found;
  if (status != 0) {
    found.state =
        errno == ENOENT || errno == ENOTDIR ? Lookup::State::kMissing : Lookup::State::kUnknown;
    return found;
  }
  static const mode_t kNewMode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
  }();
  using Type = FileFacts::Type;
  found.state = Lookup::State::kFound;
  found.facts.id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  found.facts.type = S_ISREG(st.st_mode)   ? Type::kRegular
                     : S_ISDIR(st.st_mode) ? Type::kDirectory
                     : S_ISLNK(st.st_mode) ? Type::kLink
                                           : Type::kOther;
  found.facts.links = static_cast<std::uint64_t>(st.st_nlink);
  found.facts.size = static_cast<std::uint64_t>(st.st_size);
  found.facts.as_new = st.st_uid == ::geteuid() && (st.st_mode & 07777) == kNewMode;
  return found;
}

Lookup LookAt(const std::string& path, bool follow_links) {
  struct stat st {};
  const int status = follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  return FactsOf(status, st);
}

// Removes path when it still denotes the file id; a name that now means
// another file, or none, needs nothing.
Removal RemoveIfStill(const std::string& path, const FileId& id) {
  const Lookup named = LookAt(path, false);
  if (named.state == Lookup::State::kUnknown) return Removal::kFailed;
  if (!named.Is(id) || ::unlink(path.c_str()) == 0 || errno == ENOENT) return Removal::kRemoved;
  return errno == EACCES || errno == EPERM ? Removal::kDenied : Removal::kFailed;
}

const char* DirectoryName(const std::string& directory) {
  return directory.empty() ? "." : directory.c_str();
}

// A file system that cannot sync at all says so with these, and loses
// nothing by it.
bool SyncData(int fd) {
  while (::fdatasync(fd) != 0) {
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return true;
    if (errno != EINTR) return false;
  }
  return true;
}

// The name of a partial copy, for the signal handler to remove.
char g_partial[PATH_MAX];
volatile sig_atomic_t g_partial_set = 0;

// Nothing is left to do should any of these fail: the process is ending.
extern "C" void RemovePartialAndDie(int signal_number) {
  if (g_partial_set) static_cast<void>(::unlink(g_partial));
  static_cast<void>(::signal(signal_number, SIG_DFL));
  static_cast<void>(::raise(signal_number));
}

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

// While it lives, an interrupted or terminated run removes the partial file.
// A signal ignored when the program started (nohup) stays ignored.
class PartialGuard {
 public:
  explicit PartialGuard(const std::string& path) {
    std::strncpy(g_partial, path.c_str(), sizeof g_partial - 1);
    g_partial_set = 1;
    struct sigaction action {};
    action.sa_handler = RemovePartialAndDie;
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
      ::sigaction(kCleanupSignals[i], nullptr, &old_[i]);
      if (old_[i].sa_handler != SIG_IGN) ::sigaction(kCleanupSignals[i], &action, nullptr);
    }
  }
  ~PartialGuard() {
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
      ::sigaction(kCleanupSignals[i], &old_[i], nullptr);
    }
    g_partial_set = 0;
  }
  PartialGuard(const PartialGuard&) = delete;
  PartialGuard& operator=(const PartialGuard&) = delete;

 private:
  struct sigaction old_[std::size(kCleanupSignals)] = {};
};

class PosixHeldFile final : public SystemFile<HeldFile, PosixCalls> {
 public:
  PosixHeldFile(int fd, const std::string& path, bool writable, bool partial)
      : SystemFile(fd, path, Kind::kWrite), writable_(writable) {
    if (partial) guard_ = std::make_unique<PartialGuard>(path);
  }

  Lookup Facts() override {
    struct stat st {};
    return FactsOf(::fstat(handle_, &st), st);
  }
  bool Writable() const override { return writable_; }

  Lock TryLock() override {
    while (::flock(handle_, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return Lock::kBusy;
      if (errno != EINTR) return Lock::kFailed;
    }
    return Lock::kHeld;
  }

  bool Truncate() override { return ::ftruncate(handle_, 0) == 0; }
  bool Sync() override { return SyncData(handle_); }

  // A link made through the descriptor, whatever names the file has or
  // lacks, under the hidden name, then renamed over to. FAT and exFAT say
  // EPERM, other file systems without links EOPNOTSUPP or EMLINK.
  Named NameAs(const std::string& to, const std::string& hidden) override {
    const std::string self = "/proc/self/fd/" + std::to_string(handle_);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      switch (errno) {
        case EEXIST:
          return Named::kNameTaken;
        case EXDEV:
          return Named::kOtherVolume;
        case EPERM:
        case EOPNOTSUPP:
        case EMLINK:
        case ENOENT:  // no /proc, or no name left to link through
          return Named::kNoLinks;
        default:
          return Named::kFailed;
      }
    }
    if (::rename(hidden.c_str(), to.c_str()) == 0) return Named::kNamed;
    ::unlink(hidden.c_str());
    return Named::kFailed;
  }

  Removal Unname(const std::string& name) override {
    const Lookup held = Facts();
    return held.Found() ? RemoveIfStill(name, held.facts.id) : Removal::kFailed;
  }

 private:
  bool writable_;
  std::unique_ptr<PartialGuard> guard_;
};

Opened Held(int fd, const std::string& path, bool writable, bool partial) {
  return Opened{std::make_unique<PosixHeldFile>(fd, path, writable, partial)};
}

Opened Refused() {
  switch (errno) {
    case EEXIST:
      return Opened{nullptr, OpenFailure::kExists};
    case ENOENT:
      return Opened{nullptr, OpenFailure::kMissing};
    case EACCES:
    case EPERM:
      return Opened{nullptr, OpenFailure::kDenied};
    case EOPNOTSUPP:
    case EISDIR:  // kernels before O_TMPFILE take it for O_DIRECTORY
      return Opened{nullptr, OpenFailure::kUnsupported};
    default:
      return Opened{nullptr, OpenFailure::kOther};
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

  Opened Create(const std::string& path, bool partial) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return fd >= 0 ? Held(fd, path, true, partial) : Refused();
  }

  // A special file is opened without waiting or becoming the terminal, to
  // be refused unread.
  Opened OpenExisting(const std::string& path) override {
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::open(path.c_str(), O_RDWR | kFlags);
    if (fd >= 0) return Held(fd, path, true, false);
    if (errno == EACCES || errno == EPERM || errno == EROFS || errno == EISDIR) {
      fd = ::open(path.c_str(), O_RDONLY | kFlags);
      if (fd >= 0) return Held(fd, path, false, false);
    }
    return Refused();
  }

  Opened CreateNameless(const std::string& directory) override {
    const int fd = ::open(DirectoryName(directory), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    return fd >= 0 ? Held(fd, directory, true, false) : Refused();
  }

  Named Rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) == 0) return Named::kNamed;
    return errno == EXDEV ? Named::kOtherVolume : Named::kFailed;
  }

  Removal Remove(const std::string& path, const FileId& id) override {
    return RemoveIfStill(path, id);
  }

  InUse LockedByAnyone(const FileFacts& file) override;

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

  void Sleep(int milliseconds) override { ::usleep(static_cast<useconds_t>(milliseconds) * 1000); }

  std::uint64_t UniqueNumber() override {
    static std::atomic<std::uint64_t> counter{0};
    const auto stamp =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return stamp ^ (static_cast<std::uint64_t>(::getpid()) << 40) ^ (counter++ << 20);
  }
};

// The kernel's table of every lock, open to all: "1: FLOCK ADVISORY WRITE
// pid major:minor:inode start end". Waiters' lines carry "->" and hold
// nothing. Only the inode is compared: the device there is the file
// system's own, which a btrfs subvolume shows otherwise, and a stranger's
// lock on an inode of the same number only makes this run wait.
InUse PosixFileSystem::LockedByAnyone(const FileFacts& file) {
  std::ifstream table("/proc/locks");
  if (!table) return InUse::kUnknown;
  InUse in_use = InUse::kNo;
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 6 && fields >> field; ++i) {
    }
    const std::size_t colon = field.rfind(':');
    if (line.find("->") == std::string::npos && colon != std::string::npos &&
        std::strtoull(field.c_str() + colon + 1, nullptr, 10) == file.id.index) {
      in_use = InUse::kYes;
    }
  }
  return in_use;
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

std::string AsTheSystemTakesIt(const std::string& path) { return path; }

}  // namespace kv2pelmo
