// Checksums and field decoding of record headers.
#include "blockfile/block_header.h"

#include <cstring>

namespace kv2pelmo {
namespace {

unsigned SumOfBytes(std::uint64_t word) {
  constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
  std::uint64_t pairs = (word & kLowBytes) + ((word >> 8) & kLowBytes);  // four 16-bit sums
  pairs += pairs >> 32;
  pairs += pairs >> 16;
  return static_cast<unsigned>(pairs & 0xFFFF);
}

}  // namespace

// Sixteen byte-wide running sums that wrap as the checksum does, held in one
// vector register (GCC and Clang vector type; plain code where there is no
// vector unit): one add per 16 bytes.
std::uint8_t FlashBlockChecksum(const std::uint8_t* data, std::size_t length) {
  using Lanes = std::uint8_t __attribute__((vector_size(16)));
  Lanes lanes = {};
  std::size_t at = 0;
  for (; length - at >= sizeof(Lanes); at += sizeof(Lanes)) {
    Lanes chunk;
    std::memcpy(&chunk, data + at, sizeof chunk);
    lanes += chunk;
  }
  // Fold the sixteen lanes into eight with the same byte-wise wrapping add,
  // done on whole words: the low seven bits add, the top bit is their XOR.
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  std::uint64_t halves[2];
  std::memcpy(halves, &lanes, sizeof halves);
  const std::uint64_t folded =
      ((halves[0] & ~kHighBits) + (halves[1] & ~kHighBits)) ^ ((halves[0] ^ halves[1]) & kHighBits);
  unsigned sum = SumOfBytes(folded);
  for (; at < length; ++at) sum += data[at];
  return static_cast<std::uint8_t>(0U - sum);
}

}  // namespace kv2pelmo
