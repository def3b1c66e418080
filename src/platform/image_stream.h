// The image's stream: exact-length writes gathered over a raw file, placed by seeks.
#ifndef KV2PELMO_PLATFORM_IMAGE_STREAM_H_
#define KV2PELMO_PLATFORM_IMAGE_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/raw_file.h"
#include "platform/stream_buffer.h"

namespace kv2pelmo {

/// Writes a file through a write buffer that gathers contiguous writes; a
/// seek elsewhere, Flush or Close passes them on, and a write the buffer
/// cannot take goes straight to the raw file. The common small writes are
/// inline copies, with no call at all. Every write is all or nothing:
/// failures throw FileError(kWrite), no later than Close.
///
/// Invariant: the buffer holds the pending bytes from its start to
/// write_next_, which belong at buffer_offset_, where the raw file stands.
class ImageStream final {
 public:
  /// A write this large goes straight through: copying it gains nothing.
  static constexpr std::size_t kDirectWrite = std::size_t{64} * 1024;

  /// Takes over raw, positioned at its start; path names it in failures.
  /// Throws FileError when its size cannot be read.
  ImageStream(std::unique_ptr<RawFile> raw, std::string path);
  /// Writes what is still buffered, ignoring a failure: the caller that
  /// needs to know calls Flush or Close.
  ~ImageStream();
  ImageStream(const ImageStream&) = delete;
  ImageStream& operator=(const ImageStream&) = delete;

  /// Writes exactly n bytes at the position, extending the file as needed.
  void WriteExactly(const void* data, std::size_t n) {
    if (static_cast<std::size_t>(write_end_ - write_next_) >= n) {
      CopyBytes(write_next_, static_cast<const unsigned char*>(data), n);
      write_next_ += n;
      return;
    }
    WriteAll(data, n);
  }
  /// Moves to offset from the start; bytes skipped by a later write read as
  /// zero. Staying where it is costs nothing, as when each block follows the last.
  void Seek(std::uint64_t offset) {
    if (offset != Position()) SeekElsewhere(offset);
  }
  /// Returns the position, without a system call.
  std::uint64_t Position() const {
    return buffer_offset_ + static_cast<std::uint64_t>(write_next_ - buffer_.Peek());
  }
  /// Returns the size at open grown by the writes since, without a system
  /// call; a seek alone does not grow it.
  std::uint64_t Size() const {
    return write_next_ != buffer_.Peek() && Position() > size_ ? Position() : size_;
  }
  /// Passes buffered writes on to the file. Throws FileError(kWrite).
  void Flush();
  /// Flushes and closes. Throws FileError when a write fails here.
  void Close();

 private:
  void WriteAll(const void* data, std::size_t n);
  void SeekElsewhere(std::uint64_t offset);

  unsigned char* write_next_ = nullptr;
  unsigned char* write_end_ = nullptr;
  std::unique_ptr<RawFile> raw_;
  std::string path_;
  StreamBuffer buffer_;
  std::uint64_t buffer_offset_ = 0;
  std::uint64_t size_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_IMAGE_STREAM_H_
