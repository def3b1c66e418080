// Record validation: identifier, then header checksum, then data checksum.
#include "blockfile/block_reader.h"

namespace kv2pelmo {

ReadResult BlockReader::Next() {
  ReadResult result;
  result.offset = offset_;
  if (result.offset >= size_) return result;

  BlockHeader header;
  input_.ReadExactly(header.bytes.data(), header.bytes.size());
  if (header.Id() != BlockIdValue) {
    result.kind = ReadResult::Kind::kBadId;
    return result;
  }
  result.calculated = HeaderChecksum(header);
  result.stored = header.StoredHeaderChecksum();
  if (result.calculated != result.stored) {
    result.kind = ReadResult::Kind::kBadHeaderChecksum;
    return result;
  }

  result.address = BlockAddress(header);
  result.length = BlockLength(header);
  const auto length = static_cast<std::size_t>(result.length);
  // Data already read ahead is checked where it lies, without a copy.
  result.data = input_.ReadInPlace(length);
  if (result.data == nullptr) result.data = ReadIntoBuffer(length);
  result.calculated = FlashBlockChecksum(result.data, length);
  result.stored = header.DataChecksum();
  result.kind = result.calculated == result.stored ? ReadResult::Kind::kBlock
                                                   : ReadResult::Kind::kBadDataChecksum;
  offset_ += BlockHeaderSize + length;
  return result;
}

const std::uint8_t* BlockReader::ReadIntoBuffer(std::size_t length) {
  // A record longer than the buffer grows it for good, so it is never read
  // past its end and never reallocated per record.
  if (length > buffer_.size()) {
    // Don't allocate for a length the file cannot hold.
    if (length > size_ - offset_ - BlockHeaderSize) throw FileError("Stream read error");
    buffer_.resize(length);
  }
  input_.ReadExactly(buffer_.data(), length);
  return buffer_.data();
}

}  // namespace kv2pelmo
