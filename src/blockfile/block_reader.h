// Walks a block file record by record and validates each one.
#ifndef KV2PELMO_BLOCKFILE_BLOCK_READER_H_
#define KV2PELMO_BLOCKFILE_BLOCK_READER_H_

#include <cassert>
#include <cstdint>
#include <cstring>
#include <vector>

#include "blockfile/block_header.h"
#include "io/input_stream.h"

namespace kv2pelmo {

/// Bytes in the block buffer, at the least; a longer record is read in
/// pieces of this size.
constexpr std::size_t BlockBufferSize = 66000;

/// The run's one block buffer: each record's data, later the 0xFF fill.
using BlockBuffer = std::vector<std::uint8_t>;

/// A block file that ends inside a record: the file layer's failure to
/// read, with the record the file ends in.
class RecordCutShort : public FileError {
 public:
  RecordCutShort(const FileError& error, std::uint64_t record)
      : FileError(error), record_(record) {}
  /// The file offset of that record's first header byte.
  std::uint64_t record_offset() const { return record_; }

 private:
  std::uint64_t record_;
};

/// What one call of BlockReader::Next found.
struct ReadResult {
  enum class Kind {
    kEndOfFile,
    kBlock,
    kBadId,
    kBadHeaderChecksum,
    kBadDataChecksum,
  };
  Kind kind = Kind::kEndOfFile;
  /// File offset of the record's first header byte.
  std::uint64_t offset = 0;
  /// For kBlock: the record's load address, data length and data. The data
  /// lies in the block buffer or in the input's read-ahead, and stays valid
  /// until the next call of the reader.
  std::int32_t address = 0;
  std::int32_t length = 0;
  const std::uint8_t* data = nullptr;
  /// For the checksum failures: the checksum computed and the one stored.
  std::uint8_t calculated = 0;
  std::uint8_t stored = 0;
  /// The bytes of data at data: all of them but for a record longer than
  /// the block buffer, whose first piece this is.
  std::int32_t piece_length = 0;
};

/// Reads records from a stream into a borrowed buffer.
class BlockReader {
 public:
  /// Borrows both; the stream is read from its current position and, while
  /// the reader works, by nothing else.
  BlockReader(InputStream& input, BlockBuffer& buffer) : input_(input), buffer_(buffer) {
    assert(buffer.size() >= BlockBufferSize);
  }

  /// Returns end of file, the next valid block (the stream left on the next
  /// record) or the first validation failure. Throws RecordCutShort when the
  /// file ends inside a record. A record
  /// longer than the block buffer comes in pieces: this returns its first,
  /// and its data checksum is checked by NextPiece with the last. Not to be
  /// called again after a failure, or before the last piece.
  ReadResult Next() {
    const std::uint64_t offset = input_.Position();
    const std::uint8_t* bytes;
    if (input_.HoldsAhead(kBlockHeaderSize)) {
      bytes = input_.ReadInPlace(kBlockHeaderSize);
    } else {
      bytes = ReadSplitHeader(offset);
      if (bytes == nullptr) return ReadResult{ReadResult::Kind::kEndOfFile, offset};
    }
    // The common record, whose data fits the buffer, is read, checked and
    // handed on in one pass, where it lies in the read-ahead if it lies there.
    BlockHeader header;
    std::memcpy(header.bytes.data(), bytes, kBlockHeaderSize);
    const std::int32_t length = BlockLength(header);
    const auto size = static_cast<std::size_t>(length);
    if (header.Id() != BlockIdValue || HeaderChecksum(header) != header.StoredHeaderChecksum() ||
        size > BlockBufferSize) {
      ReadOnSlowPath(bytes, offset);
      return slow_result_;  // a copy, so that the common result stays in registers
    }
    const std::int32_t address = BlockAddress(header);
    const std::uint8_t stored = header.StoredDataChecksum();
    const std::uint8_t* data;
    if (input_.HoldsAhead(size)) {
      data = input_.ReadInPlace(size);
    } else {
      data = CopyData(size, offset);
    }
    const ReadResult block{
        ReadResult::Kind::kBlock, offset, address, length, data, 0, stored, length};
    const std::uint8_t checksum = FlashBlockChecksum(data, size);
    if (checksum == stored) return block;
    slow_result_ = block;
    slow_result_.kind = ReadResult::Kind::kBadDataChecksum;
    slow_result_.calculated = checksum;
    return slow_result_;
  }

  /// After Next returned a block whose piece is shorter than its length:
  /// returns its next piece (kBlock), or, after reading the last, the
  /// record's data checksum failure. Throws as Next does.
  ReadResult NextPiece();

 private:
  const std::uint8_t* ReadSplitHeader(std::uint64_t offset);
  void ReadOnSlowPath(const std::uint8_t* bytes, std::uint64_t offset);
  const std::uint8_t* CopyData(std::size_t size, std::uint64_t offset);
  // Data already read ahead is checked where it lies, without a copy.
  const std::uint8_t* ReadPiece(std::size_t length) {
    if (const std::uint8_t* data = input_.ReadInPlace(length)) return data;
    input_.ReadExactly(buffer_.data(), length);
    return buffer_.data();
  }

  InputStream& input_;
  BlockBuffer& buffer_;
  // A header the read-ahead held only in part, read whole.
  BlockHeader split_header_;
  // Of a record not read in one pass: a failed check of its header, or a
  // record read in pieces, with the bytes still to come and the checksum of
  // those read.
  ReadResult slow_result_;
  std::size_t remaining_ = 0;
  std::uint8_t checksum_ = 0;
};

/// Reads the first record header of file and checks its identifier, then its
/// checksum, as Next does; its data is neither read nor checked. Returns
/// kBlock with the header's address and length, or the failed check, at
/// offset 0. Throws RecordCutShort when the file is shorter than a header.
ReadResult ReadFirstHeader(InputStream& file);

}  // namespace kv2pelmo

#endif  // KV2PELMO_BLOCKFILE_BLOCK_READER_H_
