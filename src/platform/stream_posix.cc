// The stream layer on POSIX systems: file descriptors, flock and rename.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>

#include "platform/buffered_stream.h"
#include "platform/stream.h"

namespace kv2pelmo {
namespace {

class PosixStream : public Stream {
 public:
  /// Takes ownership of fd. failure is the text of every error but a read's.
  PosixStream(int fd, const char* failure) : fd_(fd), failure_(failure) {}
  ~PosixStream() override {
    if (fd_ >= 0) ::close(fd_);
  }
  PosixStream(const PosixStream&) = delete;
  PosixStream& operator=(const PosixStream&) = delete;

  std::size_t ReadSome(void* data, std::size_t n) override {
    for (;;) {
      ssize_t got = ::read(fd_, data, n);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throw FileError("Stream read error");
    }
  }

  void WriteAll(const void* data, std::size_t n) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (n > 0) {
      ssize_t put = ::write(fd_, bytes, n);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) throw FileError("Stream write error");
      bytes += put;
      n -= static_cast<std::size_t>(put);
    }
  }

  void Seek(std::uint64_t offset) override {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
        ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
      throw FileError(failure_);
    }
  }

  std::uint64_t Position() override {
    off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) throw FileError(failure_);
    return static_cast<std::uint64_t>(at);
  }

  std::uint64_t Size() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw FileError(failure_);
    return static_cast<std::uint64_t>(st.st_size);
  }

  void Close() override {
    if (fd_ < 0) return;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) throw FileError(failure_);
  }

 protected:
  int Descriptor() const { return fd_; }

 private:
  int fd_;
  const char* failure_;
};

// The image grows write by write to its full size. Reserving its space ahead
// in large steps (Linux's fallocate) spares the file system a reservation for
// every page written: on ext4 that is a third of the cost of writing. A
// reservation leaves the file's size alone, and Close gives back what the
// image did not use.
class ImageFile final : public PosixStream {
 public:
  using PosixStream::PosixStream;
  /// Gives back unused space also when a run stops without closing.
  ~ImageFile() override { ReleaseUnused(); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  std::size_t ReadSome(void* data, std::size_t n) override {
    const std::size_t got = PosixStream::ReadSome(data, n);
    position_ += got;
    return got;
  }

  void WriteAll(const void* data, std::size_t n) override {
    Reserve(position_ + n);
    PosixStream::WriteAll(data, n);
    position_ += n;
  }

  void Seek(std::uint64_t offset) override {
    PosixStream::Seek(offset);
    position_ = offset;
  }

  void Close() override {
    ReleaseUnused();
    PosixStream::Close();
  }

 private:
  static constexpr std::uint64_t kStep = std::uint64_t{4} << 20;

  // Best effort: where the file system cannot reserve, or the disk is nearly
  // full, the writes themselves allocate or fail as they would anyway.
  void Reserve(std::uint64_t end) {
    if (!reserving_ || end <= reserved_) return;
    const std::uint64_t to = std::max(end, reserved_ + kStep);
    if (to > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
        ::fallocate(Descriptor(), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(reserved_),
                    static_cast<off_t>(to - reserved_)) != 0) {
      reserving_ = false;
      return;
    }
    reserved_ = to;
  }

  // Cutting the file to its own size frees the space reserved past its end.
  // Should that fail, the image's bytes are still all there and right; only
  // some unused space stays taken.
  void ReleaseUnused() {
    struct stat st {};
    if (reserved_ > 0 && ::fstat(Descriptor(), &st) == 0 &&
        static_cast<std::uint64_t>(st.st_size) < reserved_) {
      static_cast<void>(::ftruncate(Descriptor(), st.st_size));
    }
    reserved_ = 0;
  }

  std::uint64_t position_ = 0;
  std::uint64_t reserved_ = 0;
  bool reserving_ = true;
};

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Empties the image, but only a plain file that nothing else names or uses.
// An empty one is left alone: on ext4 any truncation to zero makes the close
// start writing the file to disk, which costs more than the run.
bool TruncateIfSafe(int fd, const std::vector<std::string>& keep) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) return false;
  for (const std::string& other : keep) {
    struct stat other_st {};
    if (::stat(other.c_str(), &other_st) == 0 && SameFile(st, other_st)) return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
  return st.st_size == 0 || ::ftruncate(fd, 0) == 0;
}

void CopyFile(int from_fd, int to_fd) {
  PosixStream from(::dup(from_fd), "Stream read error");
  PosixStream to(::dup(to_fd), "Stream write error");
  std::vector<unsigned char> chunk(1 << 16);
  while (std::size_t got = from.ReadSome(chunk.data(), chunk.size())) {
    to.WriteExactly(chunk.data(), got);
  }
  to.Close();
}

// Copies from_fd's bytes and permissions into to_fd, then closes to_fd.
bool CopyAndClose(int from_fd, int to_fd) {
  struct stat st {};
  bool copied = ::fstat(from_fd, &st) == 0 && ::fchmod(to_fd, st.st_mode & 07777) == 0;
  try {
    if (copied) CopyFile(from_fd, to_fd);
  } catch (const FileError&) {
    copied = false;
  }
  return ::close(to_fd) == 0 && copied;
}

// A rename cannot cross file systems: copy beside the target under a unique
// name, then rename that into place, so the target is never half-written.
bool MoveAcross(const std::string& from, const std::string& to) {
  const int from_fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (from_fd < 0) return false;
  std::string part = to + ".XXXXXX";
  const int to_fd = ::mkstemp(part.data());
  bool moved = false;
  if (to_fd >= 0) {
    moved = CopyAndClose(from_fd, to_fd) && ::rename(part.c_str(), to.c_str()) == 0;
    if (!moved) ::unlink(part.c_str());
  }
  ::close(from_fd);
  if (moved) ::unlink(from.c_str());
  return moved;
}

}  // namespace

std::unique_ptr<Stream> OpenForReading(const std::string& path) {
  // Non-blocking only for the open itself, so that a FIFO cannot hang it.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw FileError("Cannot open file " + path);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    throw FileError("Cannot open file " + path);
  }
  return std::make_unique<BufferedStream>(std::make_unique<PosixStream>(fd, "Stream read error"));
}

std::unique_ptr<Stream> CreateImage(const std::string& path, const std::vector<std::string>& keep) {
  // No O_TRUNC: the checks must come before anything of the old file is lost.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) throw FileError("Cannot create file " + path);
  if (!TruncateIfSafe(fd, keep)) {
    ::close(fd);
    throw FileError("Cannot create file " + path);
  }
  return std::make_unique<BufferedStream>(std::make_unique<ImageFile>(fd, "Stream write error"));
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void RenameReplacing(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return;
  if (errno == EXDEV && MoveAcross(from, to)) return;
  throw FileError("Cannot rename " + from + " to " + to);
}

const char* PathSeparators() { return "/"; }

}  // namespace kv2pelmo
