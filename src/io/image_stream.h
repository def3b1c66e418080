// The image's stream: exact-length writes gathered in a few windows over a raw file, placed by
// seeks.
#ifndef KV2PELMO_IO_IMAGE_STREAM_H_
#define KV2PELMO_IO_IMAGE_STREAM_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "io/raw_file.h"
#include "io/stream_buffer.h"

namespace kv2pelmo {

/// Writes a file through a few write-behind windows, each gathering the
/// writes to one stretch of the file, so that blocks which hop between
/// stretches (two flash banks written in turn, say) cost copies, not system
/// calls. Flush or Close passes them on, as does a window taken for another
/// stretch; a write no window can take goes straight to the raw file. Writes
/// that follow one another are inline copies, with no call at all. Every
/// write is all or nothing: failures throw FileError(kWrite), no later than
/// Close.
///
/// Invariant: the windows' stretches never overlap. While writes follow one
/// another, they are copied into the current window from append_start_ on,
/// its length counts them once they end, and the position is append_base_
/// plus the bytes appended since; otherwise the position is append_base_.
class ImageStream final {
 public:
  /// A write this large goes straight through: copying it gains nothing.
  static constexpr std::size_t kDirectWrite = std::size_t{64} * 1024;
  /// Windows, each of kStreamCapacity bytes.
  static constexpr std::size_t kWindows = 4;

  /// Takes over raw, positioned at its start; path names it in failures.
  /// Throws FileError when its size cannot be read.
  ImageStream(std::unique_ptr<RawFile> raw, std::string path);
  /// Writes what is still gathered, ignoring a failure: the caller that
  /// needs to know calls Flush or Close.
  ~ImageStream();
  ImageStream(const ImageStream&) = delete;
  ImageStream& operator=(const ImageStream&) = delete;

  /// Writes exactly n bytes at the position, extending the file as needed.
  void WriteExactly(const void* data, std::size_t n) {
    if (static_cast<std::size_t>(append_end_ - append_next_) >= n) {
      CopyBytes(append_next_, static_cast<const unsigned char*>(data), n);
      append_next_ += n;
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
    return append_base_ + static_cast<std::uint64_t>(append_next_ - append_start_);
  }
  /// Returns the size at open grown by the writes since, without a system
  /// call; a seek alone does not grow it.
  std::uint64_t Size() const {
    return append_next_ != append_start_ && Position() > size_ ? Position() : size_;
  }
  /// Passes gathered writes on to the file. Throws FileError(kWrite).
  void Flush();
  /// Flushes and closes. Throws FileError when a write fails here.
  void Close();

 private:
  struct Window {
    StreamBuffer buffer;
    std::uint64_t offset = 0;
    std::size_t length = 0;  // bytes gathered from offset on
    std::uint64_t used = 0;  // when last written, to give up the oldest
    std::uint64_t End() const { return offset + length; }
  };

  void WriteAll(const void* data, std::size_t n);
  void SeekElsewhere(std::uint64_t offset);
  void EndAppend();
  void Append(Window& window, std::uint64_t at, std::uint64_t next);
  std::uint64_t NextStretch(std::uint64_t at, const Window* self) const;
  Window& WindowFor(std::uint64_t offset, std::size_t n);
  void FlushOverlapping(std::uint64_t offset, std::uint64_t end, std::size_t keep);
  void Write(Window& window);

  unsigned char* append_next_ = nullptr;
  unsigned char* append_end_ = nullptr;
  unsigned char* append_start_ = nullptr;
  std::uint64_t append_base_ = 0;
  Window* current_ = nullptr;  // the window appended to, while writes follow one another
  std::unique_ptr<RawFile> raw_;
  std::string path_;
  std::array<Window, kWindows> windows_;
  std::uint64_t uses_ = 0;
  std::uint64_t raw_position_ = 0;
  std::uint64_t size_;
  std::uint64_t raw_end_;  // where the bytes written to the file end
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_IO_IMAGE_STREAM_H_
