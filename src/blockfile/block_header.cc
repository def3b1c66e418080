// Checksums and field decoding of record headers.
#include "blockfile/block_header.h"

#include <array>
#include <cstring>
#include <numeric>

namespace kv2pelmo {

// Sixteen byte-wide sums in one vector register: one add per 16 bytes, not 16.
std::uint8_t FlashBlockChecksum(const std::uint8_t* data, std::size_t length) {
  using Lanes = std::uint8_t __attribute__((vector_size(16)));
  Lanes lanes = {};
  const std::size_t whole = length - length % sizeof(Lanes);
  std::size_t at = 0;
  for (; at < whole; at += sizeof(Lanes)) {
    Lanes chunk;
    std::memcpy(&chunk, data + at, sizeof chunk);
    lanes += chunk;
  }
  std::array<std::uint8_t, sizeof(Lanes)> each;
  std::memcpy(each.data(), &lanes, sizeof lanes);
  unsigned sum = std::accumulate(each.begin(), each.end(), 0U);
  for (; at < length; ++at) sum += data[at];
  return static_cast<std::uint8_t>(0U - sum);
}

}  // namespace kv2pelmo
