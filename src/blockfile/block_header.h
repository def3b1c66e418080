// The 9-byte record header of a block file and its pure arithmetic.
#ifndef KV2PELMO_BLOCKFILE_BLOCK_HEADER_H_
#define KV2PELMO_BLOCKFILE_BLOCK_HEADER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kv2pelmo {

/// The identifier every record header starts with.
constexpr std::uint8_t BlockIdValue = 0x0B;
/// Bytes in one record header.
constexpr std::size_t kBlockHeaderSize = 9;

/// A record header as stored: Id, 24-bit Address, DataChecksum, 24-bit
/// Length and HeaderChecksum, multi-byte fields big-endian.
struct BlockHeader {
  std::array<std::uint8_t, kBlockHeaderSize> bytes{};

  /// Returns the identifier byte.
  std::uint8_t Id() const { return bytes[0]; }
  /// Returns the stored checksum of the record's data.
  std::uint8_t StoredDataChecksum() const { return bytes[4]; }
  /// Returns the stored checksum of the header.
  std::uint8_t StoredHeaderChecksum() const { return bytes[8]; }
};

// The header functions run once per record, so they are inline.

/// Returns the checksum bytes 1 to 7 should have: their sum mod 256, inverted.
inline std::uint8_t HeaderChecksum(const BlockHeader& header) {
  const auto& b = header.bytes;
  const unsigned sum = b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + b[7];
  return static_cast<std::uint8_t>((sum & 0xFF) ^ 0xFF);
}
/// Returns the 24-bit load address in bytes 1 to 3.
inline std::int32_t BlockAddress(const BlockHeader& header) {
  return (header.bytes[1] << 16) | (header.bytes[2] << 8) | header.bytes[3];
}
/// Returns the 24-bit data length in bytes 5 to 7.
inline std::int32_t BlockLength(const BlockHeader& header) {
  return (header.bytes[5] << 16) | (header.bytes[6] << 8) | header.bytes[7];
}
// Returns the sum of the eight bytes of a word.
inline unsigned SumOfBytes(std::uint64_t word) {
  constexpr std::uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
  // Four 16-bit sums of two bytes each, at most 510; the multiplication
  // adds them all into the top 16 bits, with no carry from below.
  const std::uint64_t pairs = (word & kLowBytes) + ((word >> 8) & kLowBytes);
  return static_cast<unsigned>((pairs * 0x0001000100010001ull) >> 48);
}

/// Returns 0 minus the sum of the length data bytes, mod 256. Inline, as
/// the loop over the records calls it: 5% fewer instructions with 32-byte
/// records than a call (bench/README.md).
//
// Sixteen byte-wide sums in one vector register: one add per 16 bytes, not 16.
inline std::uint8_t FlashBlockChecksum(const std::uint8_t* data, std::size_t length) {
  using Lanes = std::uint8_t __attribute__((vector_size(16)));
  Lanes lanes = {};
  const std::size_t whole = length - length % sizeof(Lanes);
  std::size_t at = 0;
  for (; at < whole; at += sizeof(Lanes)) {
    Lanes chunk;
    std::memcpy(&chunk, data + at, sizeof chunk);
    lanes += chunk;
  }
  // Only the sum mod 256 counts: the two halves are added lane by lane,
  // wrapping, and the eight bytes left summed by one multiplication, not
  // sixteen additions: 3% fewer instructions with 32-byte records, and what
  // keeps 256-byte records below the count before (bench/README.md).
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

#endif  // KV2PELMO_BLOCKFILE_BLOCK_HEADER_H_
