// The small interface over an open file that each platform implements.
#ifndef KV2PELMO_IO_RAW_FILE_H_
#define KV2PELMO_IO_RAW_FILE_H_

#include <cstddef>
#include <cstdint>

#include "io/file_error.h"

namespace kv2pelmo {

/// An open file, unbuffered: one system call per call.
///
/// Abstract so that the buffered stream over it runs on real files or on
/// bytes in memory alike. Every failure throws FileError: kRead for a file
/// opened for reading, kWrite for the image.
class RawFile {
 public:
  virtual ~RawFile() = default;

  /// Reads up to n bytes at the position; returns how many, 0 only at the end.
  virtual std::size_t ReadSome(void* data, std::size_t n) = 0;
  /// Writes all n bytes at the position, extending the file as needed.
  virtual void WriteAll(const void* data, std::size_t n) = 0;
  /// Moves to offset from the start; bytes skipped by a later write read as zero.
  virtual void Seek(std::uint64_t offset) = 0;
  /// Returns the size in bytes.
  virtual std::uint64_t Size() = 0;
  /// Closes; a failure surfacing here throws. Calling it twice is harmless.
  virtual void Close() = 0;
  /// Returns where data begins at or after offset, and where the hole after
  /// that begins, where the file system tells (a hole reads as zeros and
  /// takes no space); without holes, offset and the size.
  virtual std::uint64_t NextDataFrom(std::uint64_t offset) { return offset; }
  virtual std::uint64_t NextHoleFrom(std::uint64_t) { return Size(); }
  /// Returns false where the file system refuses a write that starts past
  /// the end (FAT through FUSE, which a refused try also leaves damaged).
  virtual bool TakesWritesPastTheEnd() { return true; }
};

/// Writes all n bytes at offset at, where file stands already. Past end,
/// where the bytes written so far end, on a file that does not take such a
/// write or that refuses it, the zeros from end to at are written first.
/// Throws FileError.
void WriteAllAt(RawFile& file, std::uint64_t end, std::uint64_t at, const void* data,
                std::size_t n);

/// Copies the whole of from onto to, which is empty; its holes stay holes
/// where from tells of them. Throws FileError, also when to ends up another
/// size than from (a file system that lost bytes).
void CopyWhole(RawFile& from, RawFile& to);

}  // namespace kv2pelmo

#endif  // KV2PELMO_IO_RAW_FILE_H_
