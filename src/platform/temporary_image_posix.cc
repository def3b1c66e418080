// The temporary image on POSIX systems: created, and held under flock so that runs take turns.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <utility>
#include <vector>

#include "platform/naming_posix.h"
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

// True when the file is one of spared or the standard input, output or error:
// those the image must never be written over.
bool IsAnyOf(const struct stat& file, const std::vector<std::string>& spared) {
  for (const std::string& other : spared) {
    struct stat other_st {};
    if (::stat(other.c_str(), &other_st) == 0 && SameFile(file, other_st)) return true;
  }
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    struct stat standard {};
    if (::fstat(fd, &standard) == 0 && SameFile(file, standard)) return true;
  }
  return false;
}

enum class Turn { kReady, kAgain, kRefused };

// Takes the file's lock, waiting for whoever holds it. Another user's
// leftover is removed rather than waited for: it would not be taken over.
Turn Lock(int fd, const struct stat& held, bool fresh, const std::string& path,
          const std::function<void()>& on_long_wait) {
  constexpr int kPollMilliseconds = 20;
  for (int waited = 0; ::flock(fd, LOCK_EX | LOCK_NB) != 0; waited += kPollMilliseconds) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return Turn::kRefused;
    if (!fresh && held.st_uid != ::geteuid()) {
      return ::unlink(path.c_str()) == 0 ? Turn::kAgain : Turn::kRefused;
    }
    if (waited >= kLongWaitMilliseconds) {
      on_long_wait();
      while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) return Turn::kRefused;
      }
      break;
    }
    ::usleep(kPollMilliseconds * 1000);
  }
  return Turn::kReady;
}

// Waits for the file, then makes it this run's empty image, unless it must
// not be touched or is no longer the file of that name.
Turn TakeTurn(int fd, bool fresh, const std::string& path, const std::vector<std::string>& spared,
              const std::function<void()>& on_long_wait) {
  struct stat held {};
  if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || IsAnyOf(held, spared)) {
    return Turn::kRefused;
  }
  if (const Turn locked = Lock(fd, held, fresh, path, on_long_wait); locked != Turn::kReady) {
    return locked;
  }
  // While this run waited, the one before it may have given the file its
  // final name or removed it; the name may even mean another file by now.
  struct stat named {};
  if (::lstat(path.c_str(), &named) != 0 || !SameFile(named, held)) return Turn::kAgain;
  if (::fstat(fd, &held) != 0) return Turn::kRefused;
  // Through another name the truncation would reach another file; a run
  // killed while it named its image leaves one. Another user's ownership or
  // odd permissions the image would take over.
  if (held.st_nlink > 1 ||
      (!fresh && (held.st_uid != ::geteuid() || (held.st_mode & 07777) != DefaultMode()))) {
    return ::unlink(path.c_str()) == 0 ? Turn::kAgain : Turn::kRefused;
  }
  // An empty one is left alone: on ext4 any truncation to zero makes the
  // close start writing the file to disk, which costs more than the run.
  if (held.st_size > 0 && ::ftruncate(fd, 0) != 0) return Turn::kRefused;
  return Turn::kReady;
}

class PosixTemporaryImage final : public TemporaryImage {
 public:
  PosixTemporaryImage(int fd, const std::string& path)
      : fd_(fd),
        path_(path),
        stream_(std::make_unique<ReservingFile>(fd, path, Kind::kWrite), path) {}

  ImageStream& Stream() override { return stream_; }

  void Sync() override {
    stream_.Flush();
    if (!SyncData(fd_)) throw FileError(Kind::kWrite, path_);
  }

  void MoveTo(const std::string& to) override {
    struct stat held {
    }, named{};
    if (::fstat(fd_, &held) != 0 || ::lstat(path_.c_str(), &named) != 0 || !SameFile(held, named)) {
      throw FileError(Kind::kRename, path_, to);
    }
    NameHeldImage(fd_, path_, to);
    // The temporary name goes, unless it has come to mean another file.
    if (::lstat(path_.c_str(), &named) == 0 && SameFile(held, named)) ::unlink(path_.c_str());
    stream_.Close();
  }

 private:
  int fd_;  // owned by the stream's file
  std::string path_;
  ImageStream stream_;
};

}  // namespace

std::unique_ptr<TemporaryImage> TemporaryImage::Create(const std::string& path,
                                                       const std::vector<std::string>& spared,
                                                       const std::function<void()>& on_long_wait) {
  bool told = false;  // once, however often the name is made anew
  const std::function<void()> tell_once = [&] {
    if (!std::exchange(told, true)) on_long_wait();
  };
  for (;;) {
    bool fresh = false;
    const int fd = OpenImage(path, fresh);
    if (fd < 0) throw FileError(Kind::kCreate, path);
    const Turn turn = TakeTurn(fd, fresh, path, spared, tell_once);
    if (turn == Turn::kReady) return std::make_unique<PosixTemporaryImage>(fd, path);
    ::close(fd);
    if (turn == Turn::kRefused) throw FileError(Kind::kCreate, path);
  }
}

}  // namespace kv2pelmo
