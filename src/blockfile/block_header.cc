// Checksums and field decoding of record headers.
#include "blockfile/block_header.h"

namespace kv2pelmo {
namespace {

std::int32_t Decode24(const BlockHeader& header, std::size_t first) {
  return (header.bytes[first] << 16) | (header.bytes[first + 1] << 8) | header.bytes[first + 2];
}

}  // namespace

std::uint8_t HeaderChecksum(const BlockHeader& header) {
  unsigned sum = 0;
  for (std::size_t i = 1; i <= 7; ++i) sum += header.bytes[i];
  return static_cast<std::uint8_t>((sum & 0xFF) ^ 0xFF);
}

std::int32_t BlockAddress(const BlockHeader& header) { return Decode24(header, 1); }

std::int32_t BlockLength(const BlockHeader& header) { return Decode24(header, 5); }

std::uint8_t FlashBlockChecksum(const std::uint8_t* data, std::size_t length) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum += data[i];
  return static_cast<std::uint8_t>(0U - sum);
}

}  // namespace kv2pelmo
