// The POSIX raw files: one over a descriptor, and the image's, which reserves its space ahead.
#ifndef KV2PELMO_PLATFORM_POSIX_FILE_H_
#define KV2PELMO_PLATFORM_POSIX_FILE_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>

#include "platform/raw_file.h"

namespace kv2pelmo {

/// A raw file over a descriptor it owns.
class PosixFile : public RawFile {
 public:
  /// Takes ownership of fd. failure is the kind of every error but a read's.
  PosixFile(int fd, std::string path, FileError::Kind failure)
      : fd_(fd), path_(std::move(path)), failure_(failure) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  std::size_t ReadSome(void* data, std::size_t n) override {
    for (;;) {
      ssize_t got = ::read(fd_, data, n);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno != EINTR) throw FileError(FileError::Kind::kRead, path_);
    }
  }

  void WriteAll(const void* data, std::size_t n) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (n > 0) {
      ssize_t put = ::write(fd_, bytes, n);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) throw FileError(FileError::Kind::kWrite, path_);
      bytes += put;
      n -= static_cast<std::size_t>(put);
    }
  }

  void Seek(std::uint64_t offset) override {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
        ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
      throw FileError(failure_, path_);
    }
  }

  std::uint64_t Size() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw FileError(failure_, path_);
    return static_cast<std::uint64_t>(st.st_size);
  }

  void Close() override {
    if (fd_ < 0) return;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) throw FileError(failure_, path_);
  }

  /// Returns the descriptor, -1 once closed.
  int Descriptor() const { return fd_; }

 private:
  int fd_;
  std::string path_;
  FileError::Kind failure_;
};

// The image grows write by write to its full size. Reserving its space ahead
// in large steps (Linux's fallocate) spares ext4 a reservation per page: about
// a tenth of the time (bench/README.md). A reservation leaves the file's size
// alone, and Close gives back what the image did not use.
class ReservingFile final : public PosixFile {
 public:
  using PosixFile::PosixFile;
  /// Gives back unused space also when a run stops without closing.
  ~ReservingFile() override { ReleaseUnused(); }
  ReservingFile(const ReservingFile&) = delete;
  ReservingFile& operator=(const ReservingFile&) = delete;

  std::size_t ReadSome(void* data, std::size_t n) override {
    const std::size_t got = PosixFile::ReadSome(data, n);
    position_ += got;
    return got;
  }

  void WriteAll(const void* data, std::size_t n) override {
    Reserve(position_ + n);
    PosixFile::WriteAll(data, n);
    position_ += n;
  }

  void Seek(std::uint64_t offset) override {
    PosixFile::Seek(offset);
    position_ = offset;
  }

  void Close() override {
    ReleaseUnused();
    PosixFile::Close();
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

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_POSIX_FILE_H_
