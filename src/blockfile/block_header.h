// The 9-byte record header of a block file and its pure arithmetic.
#ifndef KV2PELMO_BLOCKFILE_BLOCK_HEADER_H_
#define KV2PELMO_BLOCKFILE_BLOCK_HEADER_H_

#include <array>
#include <cstddef>
#include <cstdint>

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
/// Returns 0 minus the sum of the length data bytes, mod 256.
std::uint8_t FlashBlockChecksum(const std::uint8_t* data, std::size_t length);

}  // namespace kv2pelmo

#endif  // KV2PELMO_BLOCKFILE_BLOCK_HEADER_H_
