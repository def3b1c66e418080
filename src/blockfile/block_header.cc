// Checksums and field decoding of record headers.
#include "blockfile/block_header.h"

#include <array>
#include <cstring>

namespace kv2pelmo {
namespace {

// Returns the sum of the eight bytes of a word.
unsigned SumOfBytes(std::uint64_t word) {
  constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
  // Four 16-bit sums of two bytes each, at most 510; the multiplication
  // adds them all into the top 16 bits, with no carry from below.
  const std::uint64_t pairs = (word & kLowBytes) + ((word >> 8) & kLowBytes);
  return static_cast<unsigned>((pairs * 0x0001000100010001ull) >> 48);
}

}  // namespace

// Sixteen byte-wide running sums that wrap as the checksum does, held in one
// vector register (GCC and Clang vector type; plain code where there is no
// vector unit): one add per 16 bytes.
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
  // Only the sum mod 256 counts, so the two halves may be added lane by
  // lane, wrapping, and the eight bytes left summed by one multiplication:
  // about a tenth of the time with 256- and 32-byte records (bench/README.md).
  using HalfLanes = std::uint8_t __attribute__((vector_size(8)));
  std::array<HalfLanes, 2> halves;
  std::memcpy(halves.data(), &lanes, sizeof lanes);
  const HalfLanes folded = halves[0] + halves[1];
  std::uint64_t word;
  std::memcpy(&word, &folded, sizeof word);
  unsigned sum = SumOfBytes(word);
  for (; at < length; ++at) sum += data[at];
  return static_cast<std::uint8_t>(0U - sum);
}

}  // namespace kv2pelmo
