// A Stream that batches the small transfers of a record-by-record pass into large ones.
#ifndef KV2PELMO_PLATFORM_BUFFERED_STREAM_H_
#define KV2PELMO_PLATFORM_BUFFERED_STREAM_H_

#include <memory>

#include "platform/stream.h"

namespace kv2pelmo {

/// Serves reads from a read-ahead buffer and gathers contiguous writes in a
/// write buffer that a seek elsewhere, a read or Close flushes. Large
/// transfers that the buffer cannot take go straight through. Failures are those of the
/// stream underneath, surfacing no later than Close.
class BufferedStream final : public Stream {
 public:
  /// Bytes in the buffer: large enough that a pass costs one call per buffer,
  /// small enough to stay in the processor's cache.
  static constexpr std::size_t kCapacity = std::size_t{128} * 1024;
  /// A write this large goes straight through: copying it gains nothing.
  static constexpr std::size_t kDirectWrite = std::size_t{64} * 1024;

  /// Takes over raw, positioned at its start. Throws FileError when its
  /// size cannot be read.
  explicit BufferedStream(std::unique_ptr<Stream> raw);
  /// Writes what is still buffered, ignoring a failure: the caller that
  /// needs to know calls Close.
  ~BufferedStream() override;
  BufferedStream(const BufferedStream&) = delete;
  BufferedStream& operator=(const BufferedStream&) = delete;

  std::size_t ReadSome(void* data, std::size_t n) override;
  /// Moves to offset; staying where it is costs nothing. Throws FileError.
  void Seek(std::uint64_t offset) override;
  /// Returns the logical position, without a system call.
  std::uint64_t Position() override;
  /// Returns the size at open, grown by the writes since, without a system call.
  std::uint64_t Size() override;
  void Close() override;

 protected:
  void WriteAll(const void* data, std::size_t n) override;

 private:
  unsigned char* Buffer();
  void FlushWrites();
  void DropReadAhead();

  // Frees memory from the page-aligned operator new.
  struct AlignedDelete {
    void operator()(unsigned char* bytes) const;
  };

  std::unique_ptr<Stream> raw_;
  std::unique_ptr<unsigned char[], AlignedDelete> buffer_;  // allocated on first use
  // The file offset of the buffer's first byte. When nothing is buffered,
  // the raw stream's position.
  std::uint64_t buffer_offset_ = 0;
  std::uint64_t size_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_BUFFERED_STREAM_H_
