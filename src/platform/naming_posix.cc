// Giving the held image its final name on POSIX systems: links, renames and copies, each synced.
#include "platform/naming_posix.h"

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
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/file_system.h"
#include "platform/posix_file.h"

namespace kv2pelmo {
namespace {

using Kind = FileError::Kind;

// Every hidden name a run makes beside an output: this prefix and six characters.
constexpr char kHiddenPrefix[] = ".kv2pelmo-";
constexpr std::size_t kHiddenLength = sizeof kHiddenPrefix - 1 + 6;

// A short name beside to that nothing has: output names up to the file
// system's limit must still work.
std::string UniqueNameBeside(const std::string& to) {
  static std::atomic<unsigned> counter{0};
  const auto stamp =
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  char suffix[32];
  static_cast<void>(std::snprintf(
      suffix, sizeof suffix, "%s%06llx", kHiddenPrefix,
      (stamp ^ (static_cast<unsigned long long>(::getpid()) << 20) ^ counter++) & 0xFFFFFF));
  return DirectoryOf(to) + suffix;
}

// The directory that receives the name, open while this run names its image
// there. Runs naming into it take turns on its lock, so a hidden name found
// under the lock is a killed run's; it is synced once the name is in.
class OutputDirectory {
 public:
  explicit OutputDirectory(const std::string& to) {
    const std::string dir = DirectoryOf(to);
    fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int locked = -1;
    while (fd_ >= 0 && (locked = ::flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
    }
    locked_ = locked == 0;
  }
  ~OutputDirectory() {
    if (fd_ >= 0) ::close(fd_);
  }
  OutputDirectory(const OutputDirectory&) = delete;
  OutputDirectory& operator=(const OutputDirectory&) = delete;

  // Removes the hidden links and partial copies of runs killed while they
  // named their images here; without the lock, nothing is removed.
  void RemoveLeftovers() {
    DIR* dir = locked_ ? ::fdopendir(::dup(fd_)) : nullptr;
    if (dir == nullptr) return;
    // The stream is this call's own, and the program has one thread.
    while (const dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
      const char* name = entry->d_name;
      struct stat st {};
      if (std::strlen(name) == kHiddenLength &&
          std::strncmp(name, kHiddenPrefix, sizeof kHiddenPrefix - 1) == 0 &&
          ::fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
        static_cast<void>(::unlinkat(fd_, name, 0));
      }
    }
    ::closedir(dir);
  }

  // The image's bytes are on the disk already: should this fail, a crash can
  // lose the new name, never give it a wrong image.
  void Sync() {
    if (fd_ >= 0) static_cast<void>(::fsync(fd_));
  }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

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

enum class Named { kYes, kNoLinks, kOtherFileSystem, kFailed };

// Gives the file open as fd, whatever names it has or lacks, the name to: a
// link made through the descriptor under a hidden name beside to, renamed
// over it. kNoLinks where the file system has no links (FAT and exFAT say
// EPERM, others EOPNOTSUPP or EMLINK) or the system no /proc.
Named LinkThrough(int fd, const std::string& to) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  std::string hidden = UniqueNameBeside(to);
  int linked;
  while ((linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW)) !=
             0 &&
         errno == EEXIST) {
    hidden = UniqueNameBeside(to);
  }
  if (linked != 0) return errno == EXDEV ? Named::kOtherFileSystem : Named::kNoLinks;
  if (::rename(hidden.c_str(), to.c_str()) == 0) return Named::kYes;
  ::unlink(hidden.c_str());
  return Named::kFailed;
}

// Copies the image open as image_fd, from its start, to part_fd and syncs
// the copy; false when that fails.
bool CopyInto(int image_fd, int part_fd, const std::string& part) {
  try {
    PosixFile image(::dup(image_fd), part, Kind::kRead);
    PosixFile copy(::dup(part_fd), part, Kind::kWrite);
    image.Seek(0);
    CopyRest(image, copy);
  } catch (const FileError&) {
    return false;
  }
  return SyncData(part_fd);
}

// Where a file cannot be made without a name: a copy under a hidden name
// beside to, renamed over it when whole, removed on failure and when the run
// is interrupted; what a killed run leaves, the next run there removes.
void CopyAsNamed(int image_fd, const std::string& path, const std::string& to) {
  std::string part = UniqueNameBeside(to);
  int part_fd;
  while ((part_fd =
              ::open(part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)) < 0 &&
         errno == EEXIST) {
    part = UniqueNameBeside(to);
  }
  if (part_fd < 0) throw FileError(Kind::kRename, path, to);
  PartialGuard guard(part);
  bool copied = CopyInto(image_fd, part_fd, part);
  copied = ::close(part_fd) == 0 && copied;
  if (!copied || ::rename(part.c_str(), to.c_str()) != 0) {
    ::unlink(part.c_str());
    throw FileError(Kind::kRename, path, to);
  }
}

// Across file systems: a copy of the held image, with the mode of a new
// file, named to when whole. It has no name until then where the file system
// allows, so that even a killed run leaves nothing behind.
void CopyAs(int image_fd, const std::string& path, const std::string& to) {
  const std::string dir = DirectoryOf(to);
  const int part_fd = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (part_fd >= 0) {
    const Named named = CopyInto(image_fd, part_fd, to) ? LinkThrough(part_fd, to) : Named::kFailed;
    ::close(part_fd);  // its bytes are synced: a failure here loses nothing
    if (named == Named::kYes) return;
    if (named != Named::kNoLinks) throw FileError(Kind::kRename, path, to);
  }
  CopyAsNamed(image_fd, path, to);
}

}  // namespace

// A file system that cannot sync at all says so with these, and loses
// nothing by it.
bool SyncData(int fd) {
  while (::fdatasync(fd) != 0) {
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return true;
    if (errno != EINTR) return false;
  }
  return true;
}

void NameHeldImage(int image_fd, const std::string& path, const std::string& to) {
  OutputDirectory directory(to);
  directory.RemoveLeftovers();
  switch (LinkThrough(image_fd, to)) {
    case Named::kYes:
      break;
    case Named::kOtherFileSystem:
      CopyAs(image_fd, path, to);
      break;
    case Named::kNoLinks:
      // The image is still held and locked, and path was just checked.
      if (::rename(path.c_str(), to.c_str()) == 0) break;
      if (errno != EXDEV) throw FileError(Kind::kRename, path, to);
      CopyAs(image_fd, path, to);
      break;
    case Named::kFailed:
      throw FileError(Kind::kRename, path, to);
  }
  directory.Sync();
}

}  // namespace kv2pelmo
