// The input's stream: exact-length reads served from a read-ahead over a raw file.
#ifndef KV2PELMO_IO_INPUT_STREAM_H_
#define KV2PELMO_IO_INPUT_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "io/raw_file.h"
#include "io/stream_buffer.h"

namespace kv2pelmo {

/// Reads a file from its start to its end through a read-ahead buffer: the
/// common small reads are inline copies, with no call at all. Every read is
/// all or nothing: a short one throws FileError(kRead).
///
/// Invariant: read_next_ to read_end_ is read ahead and not yet consumed,
/// and the raw file stands at read_end_, which is buffer_offset_ plus what
/// the last refill got.
class InputStream final {
 public:
  /// Takes over raw, positioned at its start; path names it in failures.
  InputStream(std::unique_ptr<RawFile> raw, std::string path)
      : raw_(std::move(raw)), path_(std::move(path)) {}
  InputStream(const InputStream&) = delete;
  InputStream& operator=(const InputStream&) = delete;

  /// Reads exactly n bytes. Throws FileError(kRead, kEndOfFile) when fewer remain.
  void ReadExactly(void* data, std::size_t n) {
    if (static_cast<std::size_t>(read_end_ - read_next_) >= n) {
      CopyBytes(static_cast<unsigned char*>(data), read_next_, n);
      read_next_ += n;
      return;
    }
    ReadAll(static_cast<unsigned char*>(data), n);
  }
  /// Returns true when the next n bytes are all read ahead, as ReadInPlace
  /// needs them. Asking first spares the reader's loop a test of the
  /// pointer it returns: 2 instructions a record, 3% with 32-byte records.
  bool HoldsAhead(std::size_t n) const {
    return static_cast<std::size_t>(read_end_ - read_next_) >= n;
  }
  /// Returns the next n bytes where they lie in the read-ahead, and moves past
  /// them; they stay valid until the next call on this stream. Returns
  /// nullptr, consuming nothing, when they are not all read ahead.
  const unsigned char* ReadInPlace(std::size_t n) {
    if (!HoldsAhead(n)) return nullptr;
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
  /// Returns the offset of the next byte to be read, without a system call.
  std::uint64_t Position() const {
    return buffer_offset_ + static_cast<std::uint64_t>(read_next_ - buffer_.Peek());
  }
  /// Closes the file. Throws FileError when that fails.
  void Close() { raw_->Close(); }

 private:
  void ReadAll(unsigned char* data, std::size_t n);
  bool ReadAhead();
  FileError CutShort() const;

  const unsigned char* read_next_ = nullptr;
  const unsigned char* read_end_ = nullptr;
  std::unique_ptr<RawFile> raw_;
  std::string path_;
  StreamBuffer buffer_;
  // The file offset of the buffer's first byte.
  std::uint64_t buffer_offset_ = 0;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_IO_INPUT_STREAM_H_
