// The POSIX files: the system file over a descriptor, and the held file of the naming.
#ifndef KV2PELMO_PLATFORM_POSIX_FILE_H_
#define KV2PELMO_PLATFORM_POSIX_FILE_H_

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>

#include "handover/file_system.h"
#include "platform/system_file.h"

namespace kv2pelmo {

/// What statfs calls a FUSE file system.
constexpr long kFuseMagic = 0x65735546;

/// The descriptor calls a system file makes; an interrupted transfer is tried again.
struct PosixCalls {
  using Handle = int;
  static constexpr int kNone = -1;

  static bool Read(int fd, void* data, std::size_t n, std::size_t& got) {
    ssize_t done;
    while ((done = ::read(fd, data, n)) < 0 && errno == EINTR) {
    }
    got = done > 0 ? static_cast<std::size_t>(done) : 0;
    return done >= 0;
  }
  static bool Write(int fd, const void* data, std::size_t n, std::size_t& put) {
    ssize_t done;
    while ((done = ::write(fd, data, n)) < 0 && errno == EINTR) {
    }
    put = done > 0 ? static_cast<std::size_t>(done) : 0;
    return done >= 0;
  }
  static bool Seek(int fd, std::uint64_t offset) {
    return offset <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) &&
           ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
  }
  static bool Size(int fd, std::uint64_t& size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }
  static constexpr bool kFindsHoles = true;
  // Past the last data, SEEK_DATA says ENXIO: data begins at the end.
  static bool Find(int fd, std::uint64_t offset, bool data, std::uint64_t& at) {
    const off_t found = ::lseek(fd, static_cast<off_t>(offset), data ? SEEK_DATA : SEEK_HOLE);
    if (found < 0 && data && errno == ENXIO) return Size(fd, at);
    at = static_cast<std::uint64_t>(found);
    return found >= 0;
  }
  // The descriptor is gone even when close reports EINTR: never closed twice.
  static bool Close(int fd) { return ::close(fd) == 0 || errno == EINTR; }
};

/// A raw file over a descriptor.
using PosixFile = SystemFile<RawFile, PosixCalls>;

inline Lookup FactsOf(int status, const struct stat& st) {
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
  found.facts.default_owner_and_mode = st.st_uid == ::geteuid() && (st.st_mode & 07777) == kNewMode;
  return found;
}

inline Lookup LookAt(const std::string& path, bool follow_links) {
  struct stat st {};
  const int status = follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  return FactsOf(status, st);
}

// Removes path when it still denotes the file id; a name that now means
// another file, or none, needs nothing.
inline RemoveResult RemoveIfStill(const std::string& path, const FileId& id) {
  const Lookup named = LookAt(path, false);
  if (named.state == Lookup::State::kUnknown) return RemoveResult::kFailed;
  if (!named.Is(id) || ::unlink(path.c_str()) == 0 || errno == ENOENT) {
    return RemoveResult::kRemoved;
  }
  return errno == EACCES || errno == EPERM ? RemoveResult::kDenied : RemoveResult::kFailed;
}

inline const char* DirectoryName(const std::string& directory) {
  return directory.empty() ? "." : directory.c_str();
}

// A file system that cannot sync at all says so with these, and loses
// nothing by it.
inline bool SyncData(int fd) {
  while (::fdatasync(fd) != 0) {
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return true;
    if (errno != EINTR) return false;
  }
  return true;
}

class PosixHeldFile final : public SystemFile<HeldFile, PosixCalls> {
 public:
  PosixHeldFile(int fd, const std::string& path, bool writable)
      : SystemFile(fd, path, FileError::Kind::kWrite), writable_(writable) {
    struct statfs info {};
    takes_writes_past_end_ =
        ::fstatfs(fd, &info) == 0 && static_cast<long>(info.f_type) != kFuseMagic;
  }

  Lookup Facts() override {
    struct stat st {};
    return FactsOf(::fstat(handle_, &st), st);
  }
  bool Writable() const override { return writable_; }
  // fusefat refuses a write past the end, and loses bytes written after.
  bool TakesWritesPastTheEnd() override { return takes_writes_past_end_; }

  ~PosixHeldFile() override {
    if (restore_mode_ >= 0) {
      static_cast<void>(::fchmod(handle_, static_cast<mode_t>(restore_mode_)));
    }
  }
  PosixHeldFile(const PosixHeldFile&) = delete;
  PosixHeldFile& operator=(const PosixHeldFile&) = delete;

  // Sets the mode to give the file back when this run lets go of it: the
  // one it had before this run made it readable.
  void RestoreModeAtEnd(mode_t mode) { restore_mode_ = static_cast<int>(mode); }

  LockResult TryLock() override {
    while (::flock(handle_, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return LockResult::kBusy;
      if (errno != EINTR) return LockResult::kFailed;
    }
    return LockResult::kAcquired;
  }

  bool Truncate() override { return ::ftruncate(handle_, 0) == 0; }
  bool Sync() override { return SyncData(handle_); }

  // A link made through the descriptor, whatever names the file has or
  // lacks, under the hidden name, then renamed over to. FAT and exFAT say
  // EPERM, other file systems without links EOPNOTSUPP or EMLINK.
  RenameResult RenameTo(const std::string& to, const std::string& hidden) override {
    if (!TakeGroupOf(to)) return RenameResult::kCopyNeeded;
    const std::string self = "/proc/self/fd/" + std::to_string(handle_);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      switch (errno) {
        case EEXIST:
          return RenameResult::kHiddenNameTaken;
        case EXDEV:
          return RenameResult::kCopyNeeded;
        case EPERM:
        case EOPNOTSUPP:
        case EMLINK:
        case ENOENT:  // no /proc, or no name left to link through
          return RenameResult::kRenameByPathNeeded;
        default:
          return RenameResult::kFailed;
      }
    }
    if (::rename(hidden.c_str(), to.c_str()) == 0) return RenameResult::kRenamed;
    ::unlink(hidden.c_str());
    return RenameResult::kFailed;
  }

  RemoveResult RemoveName(const std::string& name) override {
    const Lookup held = Facts();
    return held.Found() ? RemoveIfStill(name, held.facts.id) : RemoveResult::kFailed;
  }

 private:
  bool writable_;
  bool takes_writes_past_end_ = true;
  // The held file was made elsewhere; a file made beside to would have the
  // group of to's directory where that has the set-group-ID bit (a shared
  // group directory), and the user's own otherwise. False where the held
  // file cannot take a shared directory's group (the user is no member):
  // then a copy made there has it. Elsewhere a failure changes nothing:
  // there are file systems without groups (FAT).
  bool TakeGroupOf(const std::string& to) {
    const std::string directory = DirectoryOf(to);
    struct stat there {
    }, held{};
    if (::stat(directory.empty() ? "." : directory.c_str(), &there) != 0 ||
        ::fstat(handle_, &held) != 0) {
      return true;  // the link tells what is wrong
    }
    const bool shared = (there.st_mode & S_ISGID) != 0;
    const gid_t group = shared ? there.st_gid : ::getegid();
    return held.st_gid == group || ::fchown(handle_, static_cast<uid_t>(-1), group) == 0 || !shared;
  }

  int restore_mode_ = -1;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_POSIX_FILE_H_
