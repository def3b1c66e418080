// BlockReader over in-memory files: the three results and where it stops.
#include "blockfile/block_reader.h"

#include <gtest/gtest.h>

#include "io/memory_file.h"
#include "record_builder.h"

namespace kv2pelmo {
namespace {

using test::BlockFile;
using test::Bytes;
using test::Counting;
using test::Record;
using Kind = ReadResult::Kind;

// The file hands out whatever is asked, or a few bytes per read as a pipe
// may: both must give the same results.
std::size_t g_max_read = SIZE_MAX;

struct Fixture {
  explicit Fixture(Bytes bytes)
      : file(std::move(bytes)), input(std::make_unique<MemoryFile>(file, g_max_read), "fw.480") {}
  Bytes file;
  InputStream input;
  BlockBuffer buffer = BlockBuffer(BlockBufferSize);
  BlockReader reader{input, buffer};
};

class BlockReaderTest : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override { g_max_read = GetParam(); }
};

TEST_P(BlockReaderTest, ReadsBlocksInOrderThenEnd) {
  Fixture f(
      BlockFile({Record(0x200000, {1, 2, 3, 4}), Record(0x200010, {}), Record(0x200020, {9})}));
  ReadResult first = f.reader.Next();
  ASSERT_EQ(first.kind, Kind::kBlock);
  EXPECT_EQ(first.offset, 0u);
  EXPECT_EQ(first.address, 0x200000);
  EXPECT_EQ(first.length, 4);
  EXPECT_EQ(Bytes(first.data, first.data + 4), Bytes({1, 2, 3, 4}));
  ReadResult empty = f.reader.Next();  // length 0, checksum 0x00
  EXPECT_EQ(empty.kind, Kind::kBlock);
  EXPECT_EQ(empty.offset, 13u);
  EXPECT_EQ(empty.length, 0);
  ReadResult last = f.reader.Next();
  EXPECT_EQ(last.kind, Kind::kBlock);
  EXPECT_EQ(last.offset, 22u);
  EXPECT_EQ(last.data[0], 9);
  EXPECT_EQ(f.reader.Next().kind, Kind::kEndOfFile);
}

TEST_P(BlockReaderTest, BadIdentifierIsCheckedFirst) {
  Fixture f(BlockFile({Record(0, {1}).WithId(0x0C).WithHeaderChecksum(0).WithDataChecksum(0)}));
  ReadResult result = f.reader.Next();
  EXPECT_EQ(result.kind, Kind::kBadId);
  EXPECT_EQ(result.offset, 0u);
}

TEST_P(BlockReaderTest, BadHeaderChecksumStopsBeforeTheData) {
  // The worked example with its last header byte changed from E5 to E4.
  Fixture f({0x0B, 0x20, 0x00, 0x00, 0xF6, 0x00, 0x00, 0x04, 0xE4, 1, 2, 3, 4});
  ReadResult result = f.reader.Next();
  EXPECT_EQ(result.kind, Kind::kBadHeaderChecksum);
  EXPECT_EQ(result.calculated, 0xE5);
  EXPECT_EQ(result.stored, 0xE4);
  EXPECT_EQ(f.input.Position(), 9u);
}

TEST_P(BlockReaderTest, FileEndingInsideARecordIsAReadError) {
  const Bytes whole = BlockFile({Record(0x10, {1, 2, 3, 4})});
  for (std::size_t cut = 1; cut < whole.size(); ++cut) {
    Fixture f(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
    EXPECT_THROW(f.reader.Next(), FileError) << "cut at " << cut;
  }
}

// Reads the next record whole, its pieces appended to data; returns how
// the last of them ended.
ReadResult ReadWhole(BlockReader& reader, Bytes* data = nullptr) {
  ReadResult result = reader.Next();
  for (std::int64_t read = result.piece_length;; read += result.piece_length) {
    if (data != nullptr) data->insert(data->end(), result.data, result.data + result.piece_length);
    if (result.kind != Kind::kBlock || read >= result.length) return result;
    result = reader.NextPiece();
  }
}

// A record longer than the block buffer comes in pieces, never past the
// buffer's end; its checksum is over them all, and fails at the last.
TEST_P(BlockReaderTest, LongRecordsComeInPiecesCheckedWhole) {
  const Bytes data = Counting(200001, 3);
  for (const bool bad : {false, true}) {
    Record record(0x10, data);
    if (bad) record.WithDataChecksum(0x55);
    Fixture f(BlockFile({record, Record(0x40000, {1})}));
    Bytes got;
    const ReadResult last = ReadWhole(f.reader, &got);
    EXPECT_EQ(last.kind, bad ? Kind::kBadDataChecksum : Kind::kBlock);
    EXPECT_EQ(got, data);
    EXPECT_EQ(f.buffer.size(), BlockBufferSize);
    if (!bad) {
      EXPECT_EQ(ReadWhole(f.reader).address, 0x40000);
    }
  }
}

// The second record starts just before the read-ahead runs out: its header
// is cut, or whole with its data cut, and the refill (a whole buffer, of the
// third record) must not change it.
TEST_P(BlockReaderTest, RecordsAcrossTheEndOfTheReadAheadReadWhole) {
  const Bytes data = Counting(20, 0x40);
  const Record third(0x800000, Counting(kStreamCapacity));
  for (std::size_t before_end = 1; before_end <= 30; ++before_end) {
    const std::size_t first = kStreamCapacity - kBlockHeaderSize - before_end;
    Fixture f(BlockFile({Record(0x10000, Counting(first)), Record(0x3A5C7E, data), third}));
    ASSERT_EQ(ReadWhole(f.reader).kind, Kind::kBlock);
    ReadResult second = f.reader.Next();
    ASSERT_EQ(second.kind, Kind::kBlock) << before_end << " bytes before the end";
    EXPECT_EQ(second.address, 0x3A5C7E);
    EXPECT_EQ(Bytes(second.data, second.data + 20), data);
    EXPECT_EQ(f.reader.Next().kind, Kind::kBlock);
  }
}

TEST_P(BlockReaderTest, HugeLengthInAShortFileFailsWithoutGrowing) {
  Fixture f(BlockFile({Record(0, Counting(100)).WithLength(0xFFFFFF)}));
  EXPECT_THROW(f.reader.Next(), FileError);
  EXPECT_EQ(f.buffer.size(), BlockBufferSize);
}

// The alignator's first header is checked as a record's is, but for its
// data, which is not even read.
TEST(FirstHeaderTest, IsCheckedLikeARecordsButNotItsData) {
  Fixture good(BlockFile({Record(0x3A0102, {1, 2}).WithDataChecksum(0)}));
  const ReadResult header = ReadFirstHeader(good.input);
  EXPECT_EQ(header.kind, Kind::kBlock);
  EXPECT_EQ(header.address, 0x3A0102);
  Fixture bad_id(BlockFile({Record(0x3A0102, {1, 2}).WithId(0x99).WithHeaderChecksum(0)}));
  EXPECT_EQ(ReadFirstHeader(bad_id.input).kind, Kind::kBadId);
  Fixture bad_sum(BlockFile({Record(0x3A0102, {1, 2}).WithHeaderChecksum(0x12)}));
  const ReadResult sum = ReadFirstHeader(bad_sum.input);
  EXPECT_EQ(sum.kind, Kind::kBadHeaderChecksum);
  EXPECT_EQ(sum.stored, 0x12);
  EXPECT_EQ(sum.calculated, 0xC3);  // ~(3A + 01 + 02 + FD + 00 + 00 + 02)
  Fixture cut({0x0B, 0x3A, 0x00, 0x00});
  EXPECT_THROW(ReadFirstHeader(cut.input), FileError);
}

INSTANTIATE_TEST_SUITE_P(WholeAndShortReads, BlockReaderTest,
                         ::testing::Values(SIZE_MAX, std::size_t{7}));

}  // namespace
}  // namespace kv2pelmo
