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
auto ReadWithinRecord(std::uint64_t offset, Read read) -> decltype(read()) {
  try {
    return read();
  } catch (const FileError& error) {
    if (error.reason() != FileError::Reason::kEndOfFile) throw;
    throw RecordCutShort(error, offset);
  }
}

}  // namespace

// Returns a header the read-ahead does not hold whole, read into split_header_;
// nothing at the end of the file.
const std::uint8_t* BlockReader::ReadSplitHeader(std::uint64_t offset) {
  if (input_.AtEnd()) return nullptr;
  ReadWithinRecord(offset,
                   [&] { input_.ReadExactly(split_header_.bytes.data(), kBlockHeaderSize); });
  return split_header_.bytes.data();
}

// A failed check of the header, or the first piece of a record longer
// than the buffer: into slow_result_.
void BlockReader::ReadOnSlowPath(const std::uint8_t* bytes, std::uint64_t offset) {
  BlockHeader header;
  std::memcpy(header.bytes.data(), bytes, kBlockHeaderSize);
  if (header.Id() != BlockIdValue) {
    slow_result_ = NoBlock(ReadResult::Kind::kBadId, offset);
    return;
  }
  const std::uint8_t header_checksum = HeaderChecksum(header);
  if (header_checksum != header.StoredHeaderChecksum()) {
    slow_result_ = NoBlock(ReadResult::Kind::kBadHeaderChecksum, offset, header_checksum,
                           header.StoredHeaderChecksum());
    return;
  }
  remaining_ = static_cast<std::size_t>(BlockLength(header));
  checksum_ = 0;
  slow_result_ = ReadResult{ReadResult::Kind::kBlock,    offset,  BlockAddress(header),
                            BlockLength(header),         nullptr, 0,
                            header.StoredDataChecksum(), 0};
  NextPiece();
}

// Data that fits the buffer but lies not whole in the read-ahead.
const std::uint8_t* BlockReader::CopyData(std::size_t size, std::uint64_t offset) {
  ReadWithinRecord(offset, [&] { input_.ReadExactly(buffer_.data(), size); });
  return buffer_.data();
}

ReadResult BlockReader::NextPiece() {
  const std::size_t size = std::min(remaining_, BlockBufferSize);
  slow_result_.data = ReadWithinRecord(slow_result_.offset, [&] { return ReadPiece(size); });
  slow_result_.piece_length = static_cast<std::int32_t>(size);
  remaining_ -= size;
  // The checksum is the sum of its pieces', as each is 0 minus a sum.
  checksum_ = static_cast<std::uint8_t>(checksum_ + FlashBlockChecksum(slow_result_.data, size));
  if (remaining_ == 0 && checksum_ != slow_result_.stored) {
    slow_result_.kind = ReadResult::Kind::kBadDataChecksum;
    slow_result_.calculated = checksum_;
  }
  return slow_result_;
}

ReadResult ReadFirstHeader(InputStream& file) {
  BlockHeader header;
  ReadWithinRecord(0, [&] { file.ReadExactly(header.bytes.data(), header.bytes.size()); });
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
