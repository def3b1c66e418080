// BlockReader over in-memory files: the three results and where it stops.
#include "blockfile/block_reader.h"

#include <gtest/gtest.h>

#include "memory_stream.h"
#include "platform/buffered_stream.h"
#include "record_builder.h"

namespace kv2pelmo {
namespace {

using testing::BlockFile;
using testing::Bytes;
using testing::Counting;
using testing::MemoryStream;
using testing::Record;
using Kind = ReadResult::Kind;

// Reads from the file directly, or through a read-ahead so that the data is
// checked in place: both must give the same results.
bool g_buffered = false;

struct Fixture {
  explicit Fixture(Bytes bytes) : input(Open(std::move(bytes))) {}
  static std::unique_ptr<Stream> Open(Bytes bytes) {
    auto file = std::make_unique<MemoryStream>(std::move(bytes));
    if (!g_buffered) return file;
    return std::make_unique<BufferedStream>(std::move(file));
  }
  std::unique_ptr<Stream> input;
  BlockBuffer buffer = BlockBuffer(BlockBufferSize);
  BlockReader reader{*input, buffer};
};

class BlockReaderTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { g_buffered = GetParam(); }
};

TEST_P(BlockReaderTest, EmptyFileIsAtEndAtOnce) {
  Fixture f({});
  EXPECT_EQ(f.reader.Next().kind, Kind::kEndOfFile);
}

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
  EXPECT_EQ(f.input->Position(), 9u);
}

TEST_P(BlockReaderTest, BadDataChecksumReportsBothBytesAndOffset) {
  Fixture f(BlockFile({Record(0x10, {5}), Record(0x20, {1, 2, 3, 4}).WithDataChecksum(0x12)}));
  ASSERT_EQ(f.reader.Next().kind, Kind::kBlock);
  ReadResult result = f.reader.Next();
  EXPECT_EQ(result.kind, Kind::kBadDataChecksum);
  EXPECT_EQ(result.offset, 10u);
  EXPECT_EQ(result.calculated, 0xF6);
  EXPECT_EQ(result.stored, 0x12);
}

TEST_P(BlockReaderTest, FileEndingInsideARecordIsAReadError) {
  const Bytes whole = BlockFile({Record(0x10, {1, 2, 3, 4})});
  for (std::size_t cut = 1; cut < whole.size(); ++cut) {
    Fixture f(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
    EXPECT_THROW(f.reader.Next(), FileError) << "cut at " << cut;
  }
}

// The second record starts just before the read-ahead runs out: its header
// is cut, or whole with its data cut, and the refill (a whole buffer, of the
// third record) must not change it.
TEST_P(BlockReaderTest, RecordsAcrossTheEndOfTheReadAheadReadWhole) {
  const Bytes data = Counting(20, 0x40);
  const Record third(0x800000, Counting(BufferedStream::kCapacity));
  for (std::size_t before_end = 1; before_end <= 30; ++before_end) {
    const std::size_t first = BufferedStream::kCapacity - BlockHeaderSize - before_end;
    Fixture f(BlockFile({Record(0x10000, Counting(first)), Record(0x3A5C7E, data), third}));
    ASSERT_EQ(f.reader.Next().kind, Kind::kBlock);
    ReadResult second = f.reader.Next();
    ASSERT_EQ(second.kind, Kind::kBlock) << before_end << " bytes before the end";
    EXPECT_EQ(second.address, 0x3A5C7E);
    EXPECT_EQ(Bytes(second.data, second.data + 20), data);
    EXPECT_EQ(f.reader.Next().kind, Kind::kBlock);
  }
}

TEST_P(BlockReaderTest, RecordLongerThanTheBufferGrowsIt) {
  const Bytes data = Counting(300000, 7);  // longer than any read-ahead too
  Fixture f(BlockFile({Record(0, data), Record(0x20000, {1})}));
  ReadResult result = f.reader.Next();
  ASSERT_EQ(result.kind, Kind::kBlock);
  EXPECT_EQ(Bytes(result.data, result.data + 300000), data);
  EXPECT_EQ(f.reader.Next().kind, Kind::kBlock);
  EXPECT_EQ(f.buffer.size(), 300000u);
}

TEST_P(BlockReaderTest, HugeLengthInAShortFileFailsWithoutGrowing) {
  Fixture f(BlockFile({Record(0, Counting(100)).WithLength(0xFFFFFF)}));
  EXPECT_THROW(f.reader.Next(), FileError);
  EXPECT_EQ(f.buffer.size(), BlockBufferSize);
}

INSTANTIATE_TEST_SUITE_P(DirectAndBuffered, BlockReaderTest, ::testing::Bool());

}  // namespace
}  // namespace kv2pelmo
