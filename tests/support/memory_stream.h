// A Stream over bytes in memory, for tests of the reader and the writer.
#ifndef KV2PELMO_TESTS_SUPPORT_MEMORY_STREAM_H_
#define KV2PELMO_TESTS_SUPPORT_MEMORY_STREAM_H_

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/stream.h"

namespace kv2pelmo::testing {

/// Behaves like a file: a write past the end extends it with zeros first.
class MemoryStream : public Stream {
 public:
  MemoryStream() = default;
  /// Starts with bytes as the file's contents, positioned at 0.
  explicit MemoryStream(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  std::size_t ReadSome(void* data, std::size_t n) override {
    if (position_ >= bytes_.size()) return 0;
    n = std::min<std::size_t>(n, bytes_.size() - position_);
    std::memcpy(data, bytes_.data() + position_, n);
    position_ += n;
    return n;
  }
  void WriteAll(const void* data, std::size_t n) override {
    if (n == 0) return;
    if (bytes_.size() < position_ + n) bytes_.resize(position_ + n);
    std::memcpy(bytes_.data() + position_, data, n);
    position_ += n;
  }
  void Seek(std::uint64_t offset) override { position_ = offset; }
  std::uint64_t Position() override { return position_; }
  std::uint64_t Size() override { return bytes_.size(); }
  void Close() override {}

  /// Returns the contents.
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t position_ = 0;
};

}  // namespace kv2pelmo::testing

#endif  // KV2PELMO_TESTS_SUPPORT_MEMORY_STREAM_H_
