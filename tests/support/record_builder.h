// Builds block file records for tests and examples, with optional corrupted fields.
#ifndef KV2PELMO_TESTS_SUPPORT_RECORD_BUILDER_H_
#define KV2PELMO_TESTS_SUPPORT_RECORD_BUILDER_H_

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <vector>

#include "blockfile/block_header.h"

namespace kv2pelmo::test {

using Bytes = std::vector<std::uint8_t>;

/// One record: a header that is correct unless a field is overridden, then the data.
class Record {
 public:
  /// A valid record placing data at address.
  Record(std::uint32_t address, Bytes data) : address_(address), data_(std::move(data)) {}

  /// Overrides the identifier byte.
  Record& WithId(std::uint8_t id) {
    id_ = id;
    return *this;
  }
  /// Overrides the stored data checksum.
  Record& WithDataChecksum(std::uint8_t sum) {
    data_checksum_ = sum;
    return *this;
  }
  /// Overrides the stored header checksum.
  Record& WithHeaderChecksum(std::uint8_t sum) {
    header_checksum_ = sum;
    return *this;
  }
  /// States a length other than the data's; the header checksum stays correct.
  Record& WithLength(std::uint32_t length) {
    length_ = length;
    return *this;
  }

  /// Returns the header bytes followed by the data.
  Bytes Build() const {
    std::uint8_t sum = 0;
    for (std::uint8_t byte : data_) sum = static_cast<std::uint8_t>(sum - byte);
    const std::uint32_t length = length_.value_or(static_cast<std::uint32_t>(data_.size()));
    Bytes out(kBlockHeaderSize + data_.size());
    const std::uint8_t header[8] = {id_,
                                    Byte(address_ >> 16),
                                    Byte(address_ >> 8),
                                    Byte(address_),
                                    data_checksum_.value_or(sum),
                                    Byte(length >> 16),
                                    Byte(length >> 8),
                                    Byte(length)};
    std::copy(std::begin(header), std::end(header), out.begin());
    unsigned header_sum = 0;
    for (int i = 1; i <= 7; ++i) header_sum += out[i];
    out[8] = header_checksum_.value_or(Byte(~header_sum));
    std::copy(data_.begin(), data_.end(), out.begin() + kBlockHeaderSize);
    return out;
  }
  /// Appends the record to the end of file.
  void AppendTo(Bytes& file) const {
    const Bytes bytes = Build();
    file.insert(file.end(), bytes.begin(), bytes.end());
  }

 private:
  static std::uint8_t Byte(std::uint32_t value) { return static_cast<std::uint8_t>(value & 0xFF); }

  std::uint32_t address_;
  Bytes data_;
  std::uint8_t id_ = BlockIdValue;
  std::optional<std::uint8_t> data_checksum_;
  std::optional<std::uint8_t> header_checksum_;
  std::optional<std::uint32_t> length_;
};

/// Returns the records one after another, as a block file holds them.
inline Bytes BlockFile(std::initializer_list<Record> records) {
  Bytes out;
  for (const Record& record : records) record.AppendTo(out);
  return out;
}

/// Returns count bytes counting up from first, wrapping at 256.
inline Bytes Counting(std::size_t count, std::uint8_t first = 0) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

/// Returns count bytes of value.
inline Bytes Repeat(std::size_t count, std::uint8_t value) { return Bytes(count, value); }

/// Returns the pieces one after another.
inline Bytes Join(std::initializer_list<Bytes> pieces) {
  Bytes out;
  for (const Bytes& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

/// Returns data with the mark of a PPM image's first block: "PPM" at its
/// start and, where the data is that long, variant at offset 40.
inline Bytes WithPpmMark(Bytes data, std::uint8_t variant) {
  std::copy_n("PPM", std::min<std::size_t>(3, data.size()), data.begin());
  if (data.size() > 40) data[40] = variant;
  return data;
}

}  // namespace kv2pelmo::test

#endif  // KV2PELMO_TESTS_SUPPORT_RECORD_BUILDER_H_
