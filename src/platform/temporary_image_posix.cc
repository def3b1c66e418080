// The temporary image on POSIX systems: flock to take turns, links made through the descriptor.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/posix_file.h"
#include "platform/temporary_image.h"

namespace kv2pelmo {
namespace {

using Kind = FileError::Kind;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

mode_t DefaultMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Opens the file of that name, creating it when there is none; fresh tells
// whether this call created it. A link is never followed, and a special file
// is opened without waiting, to be refused unread.
int OpenImage(const std::string& path, bool& fresh) {
  for (;;) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    fresh = fd >= 0;
    if (fd >= 0 || errno != EEXIST) return fd;
    fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0 || errno != ENOENT) return fd;  // else it went meanwhile: again
  }
}

enum class Turn { kReady, kAgain, kRefused };

// Waits for the file, then makes it this run's empty image, unless it must
// not be touched or is no longer the file of that name.
Turn TakeTurn(int fd, bool fresh, const std::string& path, const std::vector<std::string>& keep) {
  struct stat held {};
  if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) return Turn::kRefused;
  for (const std::string& other : keep) {
    struct stat other_st {};
    if (::stat(other.c_str(), &other_st) == 0 && SameFile(held, other_st)) return Turn::kRefused;
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return Turn::kRefused;
  }
  // While this run waited, the one before it may have given the file its
  // final name or removed it; the name may even mean another file by now.
  struct stat named {};
  if (::lstat(path.c_str(), &named) != 0 || !SameFile(named, held)) return Turn::kAgain;
  if (::fstat(fd, &held) != 0 || held.st_nlink > 1) return Turn::kRefused;
  if (!fresh && (held.st_uid != ::geteuid() || (held.st_mode & 07777) != DefaultMode())) {
    // The image would take over another user's ownership or odd permissions.
    return ::unlink(path.c_str()) == 0 ? Turn::kAgain : Turn::kRefused;
  }
  // An empty one is left alone: on ext4 any truncation to zero makes the
  // close start writing the file to disk, which costs more than the run.
  if (held.st_size > 0 && ::ftruncate(fd, 0) != 0) return Turn::kRefused;
  return Turn::kReady;
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
class PartialGuard {
 public:
  explicit PartialGuard(const std::string& path) {
    std::strncpy(g_partial, path.c_str(), sizeof g_partial - 1);
    g_partial_set = 1;
    struct sigaction action {};
    action.sa_handler = RemovePartialAndDie;
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
      ::sigaction(kCleanupSignals[i], &action, &old_[i]);
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

// The directory part of path, separator included; empty for a bare name.
std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A short name beside to that nothing has: output names up to the file
// system's limit must still work.
std::string UniqueNameBeside(const std::string& to) {
  static std::atomic<unsigned> counter{0};
  const auto stamp =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  char suffix[32];
  static_cast<void>(std::snprintf(
      suffix, sizeof suffix, ".kv2pelmo-%06llx",
      (stamp ^ (static_cast<unsigned long long>(::getpid()) << 20) ^ counter++) & 0xFFFFFF));
  return DirectoryOf(to) + suffix;
}

// Gives the file open as fd, whatever names it has or lacks, the name to: a
// link made through the descriptor under a unique name beside to, renamed
// over it. Returns false with errno set; ENOSYS where the system offers no
// such link.
bool LinkThrough(int fd, const std::string& to) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  std::string part = UniqueNameBeside(to);
  int linked;
  while ((linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, part.c_str(), AT_SYMLINK_FOLLOW)) !=
             0 &&
         errno == EEXIST) {
    part = UniqueNameBeside(to);
  }
  if (linked != 0) {
    const int error = errno;
    errno = error == ENOENT && ::access("/proc/self/fd", F_OK) != 0 ? ENOSYS : error;
    return false;
  }
  if (::rename(part.c_str(), to.c_str()) == 0) return true;
  const int error = errno;
  ::unlink(part.c_str());
  errno = error;
  return false;
}

class PosixTemporaryImage final : public TemporaryImage {
 public:
  PosixTemporaryImage(int fd, const std::string& path)
      : fd_(fd),
        path_(path),
        stream_(std::make_unique<ReservingFile>(fd, path, Kind::kWrite), path) {}

  BufferedStream& Stream() override { return stream_; }

  void MoveTo(const std::string& to) override {
    stream_.Flush();
    struct stat held {
    }, named{};
    if (::fstat(fd_, &held) != 0 || ::lstat(path_.c_str(), &named) != 0 || !SameFile(held, named)) {
      throw FileError(Kind::kRename, path_, to);
    }
    // The held file gets the name, not whatever the temporary name means by
    // now; only where that cannot be done is the name just checked renamed.
    if (!LinkThrough(fd_, to)) {
      if (errno == EXDEV) {
        CopyAs(to, held);
      } else if (errno != ENOSYS || ::rename(path_.c_str(), to.c_str()) != 0) {
        throw FileError(Kind::kRename, path_, to);
      }
    }
    // The temporary name goes, unless it has come to mean another file.
    if (::lstat(path_.c_str(), &named) == 0 && SameFile(held, named)) ::unlink(path_.c_str());
    stream_.Close();
  }

 private:
  // Across file systems: a copy from the held file, named to when whole. It
  // has no name until then, so that even a killed run leaves nothing behind.
  void CopyAs(const std::string& to, const struct stat& held) {
    const std::string dir = DirectoryOf(to);
    const int part_fd = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC,
                               held.st_mode & 07777);
    if (part_fd < 0) return CopyAsNamed(to, held);
    bool copied = ::fchmod(part_fd, held.st_mode & 07777) == 0 && CopyInto(part_fd) &&
                  LinkThrough(part_fd, to);
    copied = ::close(part_fd) == 0 && copied;
    if (!copied) throw FileError(Kind::kRename, path_, to);
  }

  // Where a file cannot be made without a name: a copy under a short unique
  // name beside to, renamed over it when whole, removed on failure and when
  // the run is interrupted.
  void CopyAsNamed(const std::string& to, const struct stat& held) {
    std::string part = DirectoryOf(to) + ".kv2pelmo-XXXXXX";
    const int part_fd = ::mkostemp(part.data(), O_CLOEXEC);
    if (part_fd < 0) throw FileError(Kind::kRename, path_, to);
    PartialGuard guard(part);
    bool copied = ::fchmod(part_fd, held.st_mode & 07777) == 0 && CopyInto(part_fd);
    copied = ::close(part_fd) == 0 && copied;
    if (!copied || ::rename(part.c_str(), to.c_str()) != 0) {
      ::unlink(part.c_str());
      throw FileError(Kind::kRename, path_, to);
    }
  }

  // Copies the held file, from its start, to part_fd; false when that fails.
  bool CopyInto(int part_fd) {
    PosixFile part(::dup(part_fd), path_, Kind::kWrite);
    std::vector<unsigned char> chunk(std::size_t{1} << 16);
    try {
      for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd_, chunk.data(), chunk.size(), at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0;
        part.WriteAll(chunk.data(), static_cast<std::size_t>(got));
        at += got;
      }
    } catch (const FileError&) {
      return false;
    }
  }

  int fd_;  // owned by the stream's file
  std::string path_;
  BufferedStream stream_;
};

}  // namespace

std::unique_ptr<TemporaryImage> TemporaryImage::Create(const std::string& path,
                                                       const std::vector<std::string>& keep) {
  for (;;) {
    bool fresh = false;
    const int fd = OpenImage(path, fresh);
    if (fd < 0) throw FileError(Kind::kCreate, path);
    const Turn turn = TakeTurn(fd, fresh, path, keep);
    if (turn == Turn::kReady) return std::make_unique<PosixTemporaryImage>(fd, path);
    ::close(fd);
    if (turn == Turn::kRefused) throw FileError(Kind::kCreate, path);
  }
}

}  // namespace kv2pelmo
