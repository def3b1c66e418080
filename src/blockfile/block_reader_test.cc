// BlockReader over in-memory files: the three results and where it stops.
#include "blockfile/block_reader.h"

#include <gtest/gtest.h>

#include "memory_stream.h"
#include "record_builder.h"

namespace kv2pelmo {
namespace {

using testing::BlockFile;
using testing::Bytes;
using testing::Counting;
using testing::MemoryStream;
using testing::Record;
using Kind = ReadResult::Kind;

struct Fixture {
  explicit Fixture(Bytes bytes) : input(std::move(bytes)) {}
  MemoryStream input;
  BlockBuffer buffer = BlockBuffer(BlockBufferSize);
  BlockReader reader{input, buffer};
};

TEST(BlockReaderTest, EmptyFileIsAtEndAtOnce) {
  Fixture f({});
  EXPECT_EQ(f.reader.Next().kind, Kind::kEndOfFile);
}

TEST(BlockReaderTest, ReadsBlocksInOrderThenEnd) {
  Fixture f(BlockFile({Record(0x200000, {1, 2, 3, 4}), Record(0x200010, {}),
                       Record(0x200020, {9})}));
  ReadResult first = f.reader.Next();
  ASSERT_EQ(first.kind, Kind::kBlock);
  EXPECT_EQ(first.offset, 0u);
  EXPECT_EQ(first.address, 0x200000);
  EXPECT_EQ(first.length, 4);
  EXPECT_EQ(Bytes(f.buffer.begin(), f.buffer.begin() + 4), Bytes({1, 2, 3, 4}));
  ReadResult empty = f.reader.Next();  // length 0, checksum 0x00
  EXPECT_EQ(empty.kind, Kind::kBlock);
  EXPECT_EQ(empty.offset, 13u);
  EXPECT_EQ(empty.length, 0);
  ReadResult last = f.reader.Next();
  EXPECT_EQ(last.kind, Kind::kBlock);
  EXPECT_EQ(last.offset, 22u);
  EXPECT_EQ(f.buffer[0], 9);
  EXPECT_EQ(f.reader.Next().kind, Kind::kEndOfFile);
}

TEST(BlockReaderTest, BadIdentifierIsCheckedFirst) {
  Fixture f(BlockFile({Record(0, {1}).WithId(0x0C).WithHeaderChecksum(0).WithDataChecksum(0)}));
  ReadResult result = f.reader.Next();
  EXPECT_EQ(result.kind, Kind::kBadId);
  EXPECT_EQ(result.offset, 0u);
}

TEST(BlockReaderTest, BadHeaderChecksumStopsBeforeTheData) {
  // The worked example with its last header byte changed from E5 to E4.
  Fixture f({0x0B, 0x20, 0x00, 0x00, 0xF6, 0x00, 0x00, 0x04, 0xE4, 1, 2, 3, 4});
  ReadResult result = f.reader.Next();
  EXPECT_EQ(result.kind, Kind::kBadHeaderChecksum);
  EXPECT_EQ(result.calculated, 0xE5);
  EXPECT_EQ(result.stored, 0xE4);
  EXPECT_EQ(f.input.Position(), 9u);
}

TEST(BlockReaderTest, BadDataChecksumReportsBothBytesAndOffset) {
  Fixture f(BlockFile({Record(0x10, {5}), Record(0x20, {1, 2, 3, 4}).WithDataChecksum(0x12)}));
  ASSERT_EQ(f.reader.Next().kind, Kind::kBlock);
  ReadResult result = f.reader.Next();
  EXPECT_EQ(result.kind, Kind::kBadDataChecksum);
  EXPECT_EQ(result.offset, 10u);
  EXPECT_EQ(result.calculated, 0xF6);
  EXPECT_EQ(result.stored, 0x12);
}

TEST(BlockReaderTest, FileEndingInsideARecordIsAReadError) {
  const Bytes whole = BlockFile({Record(0x10, {1, 2, 3, 4})});
  for (std::size_t cut = 1; cut < whole.size(); ++cut) {
    Fixture f(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
    EXPECT_THROW(f.reader.Next(), FileError) << "cut at " << cut;
  }
}

TEST(BlockReaderTest, RecordLongerThanTheBufferGrowsIt) {
  const Bytes data = Counting(100000, 7);
  Fixture f(BlockFile({Record(0, data), Record(0x20000, {1})}));
  ReadResult result = f.reader.Next();
  ASSERT_EQ(result.kind, Kind::kBlock);
  EXPECT_EQ(Bytes(f.buffer.begin(), f.buffer.begin() + 100000), data);
  EXPECT_EQ(f.reader.Next().kind, Kind::kBlock);
  EXPECT_EQ(f.buffer.size(), 100000u);
}

TEST(BlockReaderTest, HugeLengthInAShortFileFailsWithoutGrowing) {
  Fixture f(BlockFile({Record(0, Counting(100)).WithLength(0xFFFFFF)}));
  EXPECT_THROW(f.reader.Next(), FileError);
  EXPECT_EQ(f.buffer.size(), BlockBufferSize);
}

}  // namespace
}  // namespace kv2pelmo
