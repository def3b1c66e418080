// File streams with exact-length transfers, and the few file-system calls the converter needs.
#ifndef KV2PELMO_PLATFORM_STREAM_H_
#define KV2PELMO_PLATFORM_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kv2pelmo {

/// A failure of the file layer. what() is the user-facing text, for example
/// "Stream read error" or "Cannot open file fw.48g".
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A byte stream over an open file. Every transfer is all or nothing: a short
/// read or write is a failure, never a partial result.
///
/// A buffering stream points the protected read and write areas at its
/// buffer, so that small transfers are a copy, with no call into the stream.
class Stream {
 public:
  virtual ~Stream() = default;

  /// Reads up to n bytes at the position; returns how many were read, 0 only
  /// at the end. Throws FileError("Stream read error") when the read fails.
  virtual std::size_t ReadSome(void* data, std::size_t n) = 0;
  /// Reads exactly n bytes. Throws FileError("Stream read error") when fewer
  /// than n remain or the read fails.
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
    if (static_cast<std::size_t>(read_end_ - read_next_) < n || read_next_ == nullptr) {
      return nullptr;
    }
    const unsigned char* bytes = read_next_;
    read_next_ += n;
    return bytes;
  }
  /// Writes exactly n bytes at the position, extending the file as needed.
  /// Throws FileError("Stream write error") when not all of them are written.
  void WriteExactly(const void* data, std::size_t n) {
    if (static_cast<std::size_t>(write_end_ - write_next_) >= n) {
      CopyBytes(write_next_, static_cast<const unsigned char*>(data), n);
      write_next_ += n;
      return;
    }
    WriteAll(data, n);
  }
  /// Moves to offset counted from the start; a later write past the end
  /// extends the file and the skipped bytes read as zero. Throws FileError.
  virtual void Seek(std::uint64_t offset) = 0;
  /// Returns the current offset from the start. Throws FileError.
  virtual std::uint64_t Position() = 0;
  /// Returns the size of the file in bytes. Throws FileError.
  virtual std::uint64_t Size() = 0;
  /// Flushes and closes; a write that fails here throws
  /// FileError("Stream write error"). Calling it twice is harmless.
  virtual void Close() = 0;

 protected:
  /// Writes all n bytes when the write area cannot take them. Throws FileError.
  virtual void WriteAll(const void* data, std::size_t n) = 0;

  /// Bytes read ahead and not yet consumed.
  const unsigned char* read_next_ = nullptr;
  const unsigned char* read_end_ = nullptr;
  /// Room for writes that are not yet passed on.
  unsigned char* write_next_ = nullptr;
  unsigned char* write_end_ = nullptr;

 private:
  void ReadAll(void* data, std::size_t n);
  // Copies of a record's size are done inline, as two overlapping pieces of
  // 16 or 32 bytes, rather than by a call into the C library.
  static void CopyBytes(unsigned char* to, const unsigned char* from, std::size_t n) {
    constexpr std::size_t kPiece = 16;
    if (n < kPiece || n > 4 * kPiece) {
      if (n > 0) std::memcpy(to, from, n);
      return;
    }
    if (n <= 2 * kPiece) {
      std::memcpy(to, from, kPiece);
      std::memcpy(to + n - kPiece, from + n - kPiece, kPiece);
    } else {
      std::memcpy(to, from, 2 * kPiece);
      std::memcpy(to + n - 2 * kPiece, from + n - 2 * kPiece, 2 * kPiece);
    }
  }
};

/// Opens an existing file for reading. Throws FileError("Cannot open file
/// <path>") when it cannot be opened.
std::unique_ptr<Stream> OpenForReading(const std::string& path);

/// Creates path anew, empty, for exclusive reading and writing. It refuses,
/// with FileError("Cannot create file <path>") and leaving the file untouched,
/// when path is a symbolic link or not a regular file, when it is the same
/// file as any of keep, or when another process holds it open for writing.
std::unique_ptr<Stream> CreateImage(const std::string& path, const std::vector<std::string>& keep);

/// Returns true when path names something that exists and is not a directory.
bool FileExists(const std::string& path);

/// Renames from to to, replacing an existing file of that name and copying
/// across file systems. On failure to is untouched and from keeps its bytes;
/// throws FileError("Cannot rename <from> to <to>").
void RenameReplacing(const std::string& from, const std::string& to);

/// Returns the characters that end the directory part of a path on this
/// platform ("/" here, more on others).
const char* PathSeparators();

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_STREAM_H_
