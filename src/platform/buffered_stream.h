// The file stream of the converter: exact-length transfers, batched over a raw file.
#ifndef KV2PELMO_PLATFORM_BUFFERED_STREAM_H_
#define KV2PELMO_PLATFORM_BUFFERED_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "platform/raw_file.h"

namespace kv2pelmo {

/// Serves reads from a read-ahead buffer and gathers contiguous writes in a
/// write buffer that a seek elsewhere, a read or Close flushes; transfers the
/// buffer cannot take go straight to the raw file. Every transfer is all or
/// nothing: a short read or write throws FileError. Failures of the raw file
/// surface no later than Close.
///
/// At any time the buffer is idle, holds read-ahead (read_next_ to read_end_
/// unconsumed, the raw file at read_end_) or holds pending writes (from its
/// start to write_next_, the raw file at buffer_offset_). The common small
/// transfers are inline copies, with no call at all.
class BufferedStream final {
 public:
  /// Bytes in the buffer: large enough that a pass costs one call per buffer,
  /// small enough to stay in the processor's cache.
  static constexpr std::size_t kCapacity = std::size_t{128} * 1024;
  /// A write this large goes straight through: copying it gains nothing.
  static constexpr std::size_t kDirectWrite = std::size_t{64} * 1024;

  /// Takes over raw, positioned at its start; path names it in failures.
  /// Throws FileError when its size cannot be read.
  BufferedStream(std::unique_ptr<RawFile> raw, std::string path);
  /// Writes what is still buffered, ignoring a failure: the caller that
  /// needs to know calls Close.
  ~BufferedStream();
  BufferedStream(const BufferedStream&) = delete;
  BufferedStream& operator=(const BufferedStream&) = delete;

  /// Reads exactly n bytes. Throws FileError(kRead) when fewer remain.
  void ReadExactly(void* data, std::size_t n) {
    if (static_cast<std::size_t>(read_end_ - read_next_) >= n) {
      CopyBytes(static_cast<unsigned char*>(data), read_next_, n);
      read_next_ += n;
      return;
    }
    ReadAll(data, n);
  }
  /// Returns the next n bytes where they lie in the read-ahead, and moves past
  /// them; they stay valid until the next call on this stream. Returns
  /// nullptr, consuming nothing, when they are not all read ahead.
  const unsigned char* ReadInPlace(std::size_t n) {
    if (static_cast<std::size_t>(read_end_ - read_next_) < n) return nullptr;
    const unsigned char* bytes = read_next_;
    read_next_ += n;
    return bytes;
  }
  /// Returns true when a read finds no more bytes: the end of a file, or of
  /// a pipe, whatever size it claims. Reads ahead to know.
  bool AtEnd() {
    if (read_next_ != read_end_) return false;
    return !ReadAhead();
  }
  /// Reads up to n bytes; returns how many, 0 only at the end.
  std::size_t ReadSome(void* data, std::size_t n);
  /// Writes exactly n bytes at the position, extending the file as needed.
  void WriteExactly(const void* data, std::size_t n) {
    if (static_cast<std::size_t>(write_end_ - write_next_) >= n) {
      CopyBytes(write_next_, static_cast<const unsigned char*>(data), n);
      write_next_ += n;
      return;
    }
    WriteAll(data, n);
  }
  /// Moves to offset from the start; staying where it is costs nothing, as
  /// when each block follows the last.
  void Seek(std::uint64_t offset) {
    if (offset != Position()) SeekElsewhere(offset);
  }
  /// Returns the position, without a system call.
  std::uint64_t Position() const {
    if (read_end_ != nullptr) return buffer_offset_ + (read_next_ - buffer_.get());
    if (write_end_ != nullptr) return buffer_offset_ + (write_next_ - buffer_.get());
    return buffer_offset_;
  }
  /// Returns the size at open grown by the writes since, without a system call.
  std::uint64_t Size() const {
    return write_end_ != nullptr && Position() > size_ ? Position() : size_;
  }
  /// Passes buffered writes on to the file. Throws FileError(kWrite).
  void Flush() { FlushWrites(); }
  /// Flushes and closes. Throws FileError when a write fails here.
  void Close();

 private:
  // Copies of a record's size (16 to 64 bytes) are two overlapping pieces,
  // with no loop and no call. With 32-byte records that is 9 of some 150
  // instructions per record (callgrind), a sixteenth of the conversion.
  //
  // With n > 0 bytes to copy, neither pointer is null; the analyzer does not
  // follow that through the callers.
  // NOLINTBEGIN(clang-analyzer-core.NonNullParamChecker)
  static void CopyBytes(unsigned char* to, const unsigned char* from, std::size_t n) {
    constexpr std::size_t kPiece = 16;
    if (n < kPiece || n > 4 * kPiece) {
      if (n > 0) std::memcpy(to, from, n);
      return;
    }
    // Constant sizes, so that each piece is a register's load and store.
    if (n <= 2 * kPiece) {
      std::memcpy(to, from, kPiece);
      std::memcpy(to + n - kPiece, from + n - kPiece, kPiece);
    } else {
      std::memcpy(to, from, 2 * kPiece);
      std::memcpy(to + n - 2 * kPiece, from + n - 2 * kPiece, 2 * kPiece);
    }
  }
  // NOLINTEND(clang-analyzer-core.NonNullParamChecker)
  void ReadAll(void* data, std::size_t n);
  bool ReadAhead();
  void WriteAll(const void* data, std::size_t n);
  void SeekElsewhere(std::uint64_t offset);
  unsigned char* Buffer();
  void FlushWrites();
  void DropReadAhead();

  // Frees memory from the page-aligned operator new.
  struct AlignedDelete {
    void operator()(unsigned char* bytes) const;
  };

  const unsigned char* read_next_ = nullptr;
  const unsigned char* read_end_ = nullptr;
  unsigned char* write_next_ = nullptr;
  unsigned char* write_end_ = nullptr;
  std::unique_ptr<RawFile> raw_;
  std::string path_;
  std::unique_ptr<unsigned char[], AlignedDelete> buffer_;  // allocated on first use
  // The file offset of the buffer's first byte. When nothing is buffered,
  // the raw file's position.
  std::uint64_t buffer_offset_ = 0;
  std::uint64_t size_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_BUFFERED_STREAM_H_
