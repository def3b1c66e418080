// RawFiles in memory: bytes for the tests and the fuzzer, nothing at all for a dry run.
#ifndef KV2PELMO_IO_MEMORY_FILE_H_
#define KV2PELMO_IO_MEMORY_FILE_H_

#include <cstdint>
#include <limits>
#include <vector>

#include "io/raw_file.h"

namespace kv2pelmo {

/// Behaves like a file whose contents are the caller's vector: a write past
/// the end extends it with zeros first.
class MemoryFile final : public RawFile {
 public:
  /// Reads hand out at most max_read bytes, as a pipe may: a reader must not
  /// count on getting what it asked for.
  explicit MemoryFile(std::vector<std::uint8_t>& bytes,
                      std::size_t max_read = std::numeric_limits<std::size_t>::max())
      : bytes_(bytes), max_read_(max_read) {}

  std::size_t ReadSome(void* data, std::size_t n) override;
  void WriteAll(const void* data, std::size_t n) override;
  void Seek(std::uint64_t offset) override { position_ = offset; }
  std::uint64_t Size() override { return bytes_.size(); }
  void Close() override {}

 private:
  std::vector<std::uint8_t>& bytes_;
  std::size_t max_read_;
  std::uint64_t position_ = 0;
};

/// A file that keeps nothing but its size: what a run writes where nothing
/// may be written. Reads find its end at once.
class DiscardingFile final : public RawFile {
 public:
  std::size_t ReadSome(void*, std::size_t) override { return 0; }
  void WriteAll(const void*, std::size_t n) override {
    position_ += n;
    if (position_ > size_) size_ = position_;
  }
  void Seek(std::uint64_t offset) override { position_ = offset; }
  std::uint64_t Size() override { return size_; }
  void Close() override {}

 private:
  std::uint64_t position_ = 0;
  std::uint64_t size_ = 0;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_IO_MEMORY_FILE_H_
