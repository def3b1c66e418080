// Record validation: identifier, then header checksum, then data checksum.
#include "blockfile/block_reader.h"

#include <algorithm>
#include <cstring>

namespace kv2pelmo {

namespace {

// A result that carries no block: end of file or a failed check.
ReadResult NoBlock(ReadResult::Kind kind, std::uint64_t offset, std::uint8_t calculated = 0,
                   std::uint8_t stored = 0) {
  ReadResult result;
  result.kind = kind;
  result.offset = offset;
  result.calculated = calculated;
  result.stored = stored;
  return result;
}

// Returns what read returns; a file that ends meanwhile is said to end in
// the record at offset.
template <typename Read>
auto InRecord(std::uint64_t offset, Read read) -> decltype(read()) {
  try {
    return read();
  } catch (const FileError& error) {
    if (error.reason() != FileError::Reason::kEndOfFile) throw;
    throw RecordCutShort(error, offset);
  }
}

}  // namespace

ReadResult BlockReader::Next() {
  const std::uint64_t offset = input_.Position();
  return InRecord(offset, [&] { return ReadRecordAt(offset); });
}

ReadResult BlockReader::ReadRecordAt(std::uint64_t offset) {
  if (input_.AtEnd()) return NoBlock(ReadResult::Kind::kEndOfFile, offset);

  // Copied out of the read-ahead: reading the data may refill it.
  BlockHeader header;
  if (const std::uint8_t* bytes = input_.ReadInPlace(kBlockHeaderSize)) {
    std::memcpy(header.bytes.data(), bytes, kBlockHeaderSize);
  } else {
    input_.ReadExactly(header.bytes.data(), kBlockHeaderSize);
  }
  if (header.Id() != BlockIdValue) return NoBlock(ReadResult::Kind::kBadId, offset);
  const std::uint8_t header_checksum = HeaderChecksum(header);
  if (header_checksum != header.StoredHeaderChecksum()) {
    return NoBlock(ReadResult::Kind::kBadHeaderChecksum, offset, header_checksum,
                   header.StoredHeaderChecksum());
  }

  const std::int32_t length = BlockLength(header);
  const std::int32_t address = BlockAddress(header);
  const std::uint8_t stored = header.StoredDataChecksum();
  const auto size = static_cast<std::size_t>(length);
  if (size > buffer_.size()) return FirstPiece(offset, address, length, stored);
  const std::uint8_t* data = ReadPiece(size);
  const std::uint8_t data_checksum = FlashBlockChecksum(data, size);
  return ReadResult{
      data_checksum == stored ? ReadResult::Kind::kBlock : ReadResult::Kind::kBadDataChecksum,
      offset,
      address,
      length,
      data,
      data_checksum,
      stored,
      length};
}

// A record longer than the buffer: its first piece, read as the others are.
ReadResult BlockReader::FirstPiece(std::uint64_t offset, std::int32_t address, std::int32_t length,
                                   std::uint8_t stored) {
  remaining_ = static_cast<std::size_t>(length);
  checksum_ = 0;
  long_record_ =
      ReadResult{ReadResult::Kind::kBlock, offset, address, length, nullptr, 0, stored, 0};
  return NextPiece();
}

ReadResult BlockReader::NextPiece() {
  const std::size_t size = std::min(remaining_, buffer_.size());
  long_record_.data = InRecord(long_record_.offset, [&] { return ReadPiece(size); });
  long_record_.piece_length = static_cast<std::int32_t>(size);
  remaining_ -= size;
  // The checksum is the sum of its pieces', as each is 0 minus a sum.
  checksum_ = static_cast<std::uint8_t>(checksum_ + FlashBlockChecksum(long_record_.data, size));
  if (remaining_ == 0 && checksum_ != long_record_.stored) {
    long_record_.kind = ReadResult::Kind::kBadDataChecksum;
    long_record_.calculated = checksum_;
  }
  return long_record_;
}

ReadResult ReadFirstHeader(InputStream& file) {
  BlockHeader header;
  InRecord(0, [&] { file.ReadExactly(header.bytes.data(), header.bytes.size()); });
  if (header.Id() != BlockIdValue) return NoBlock(ReadResult::Kind::kBadId, 0);
  const std::uint8_t header_checksum = HeaderChecksum(header);
  if (header_checksum != header.StoredHeaderChecksum()) {
    return NoBlock(ReadResult::Kind::kBadHeaderChecksum, 0, header_checksum,
                   header.StoredHeaderChecksum());
  }
  ReadResult result = NoBlock(ReadResult::Kind::kBlock, 0);
  result.address = BlockAddress(header);
  result.length = BlockLength(header);
  return result;
}

}  // namespace kv2pelmo
