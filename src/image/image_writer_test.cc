// ImageWriter on in-memory images: placement, gaps, PPM detection, rounding, alignment.
#include "image/image_writer.h"

#include <gtest/gtest.h>

#include "memory_stream.h"
#include "record_builder.h"
#include "temp_dir.h"

namespace kv2pelmo {
namespace {

using testing::Bytes;
using testing::Counting;
using testing::MemoryStream;
using testing::Record;

struct Fixture {
  MemoryStream image;
  BlockBuffer buffer = BlockBuffer(BlockBufferSize);
  ImageWriter writer{image, buffer};

  // Places data as the run does: through the shared buffer.
  bool Place(std::int32_t address, const Bytes& data) {
    std::copy(data.begin(), data.end(), buffer.begin());
    return writer.PlaceBlock(address, buffer.data(), static_cast<std::int32_t>(data.size()));
  }
};

Bytes Ppm(std::size_t length, std::uint8_t variant) {
  Bytes data = Counting(length, 0x30);
  data[0] = 'P';
  data[1] = 'P';
  data[2] = 'M';
  if (length > 40) data[40] = variant;
  return data;
}

TEST(ImageWriterTest, GapsStayZeroAndFillStartsAfterTheLastBlock) {
  Fixture f;
  f.Place(0x200000, Counting(16, 1));
  f.Place(0x200020, Counting(16, 1));
  f.writer.Finish(std::nullopt);
  const Bytes& image = f.image.Bytes();
  ASSERT_EQ(image.size(), 65536u);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 16), Counting(16, 1));
  EXPECT_EQ(Bytes(image.begin() + 16, image.begin() + 32), Bytes(16, 0x00));
  EXPECT_EQ(Bytes(image.begin() + 32, image.begin() + 48), Counting(16, 1));
  EXPECT_EQ(Bytes(image.begin() + 48, image.end()), Bytes(65536 - 48, 0xFF));
  EXPECT_EQ(f.writer.BaseAddress(), 0x200000);
  EXPECT_EQ(f.writer.Kind(), ImageKind::kMcu);
}

TEST(ImageWriterTest, WholeUnitGetsNoFill) {
  Fixture f;
  f.Place(0x10000, Counting(65536));
  f.writer.Finish(std::nullopt);
  EXPECT_EQ(f.image.Bytes(), Counting(65536));
}

TEST(ImageWriterTest, BlockBelowTheBaseIsRefusedUnwritten) {
  Fixture f;
  ASSERT_TRUE(f.Place(0x1000, {1, 2}));
  EXPECT_FALSE(f.Place(0x0FFF, {3, 4}));
  EXPECT_EQ(f.image.Bytes(), Bytes({1, 2}));
}

TEST(ImageWriterTest, FillNeverOverwritesBlocksOutOfOrder) {
  Fixture f;
  f.Place(0x0, Counting(20));
  f.Place(0x40, Counting(4, 0xA0));
  f.Place(0x8, {0xEE});  // position is now 9, well before the end
  f.writer.Finish(std::nullopt);
  const Bytes& image = f.image.Bytes();
  ASSERT_EQ(image.size(), 65536u);
  EXPECT_EQ(image[8], 0xEE);
  EXPECT_EQ(image[9], 9);
  EXPECT_EQ(Bytes(image.begin() + 0x40, image.begin() + 0x44), Counting(4, 0xA0));
  EXPECT_EQ(image[0x44], 0xFF);
}

TEST(ImageWriterTest, PpmMarkAtOffsetZeroGivesKindAndVariant) {
  Fixture f;
  f.Place(0x3A0000, Ppm(64, 'A'));
  EXPECT_EQ(f.writer.Kind(), ImageKind::kPpm);
  EXPECT_EQ(f.writer.VariantLetter(), 'A');
  f.Place(0x3A0000, Counting(64));  // no mark: the decision stands
  EXPECT_EQ(f.writer.Kind(), ImageKind::kPpm);
  EXPECT_EQ(f.writer.VariantLetter(), 'A');
}

TEST(ImageWriterTest, PpmMarkCountsOnlyInTheBlocksOwnBytes) {
  Fixture f;
  f.Place(0x100, Counting(64));
  f.Place(0x200, Ppm(64, 'Z'));  // not at offset 0: no mark
  EXPECT_EQ(f.writer.Kind(), ImageKind::kMcu);
  f.Place(0x100, {'P'});  // the buffer still reads "PPM", the block does not
  EXPECT_EQ(f.writer.Kind(), ImageKind::kMcu);
  f.Place(0x100, Ppm(40, 'Q'));  // a mark, but no byte 40 of its own
  EXPECT_EQ(f.writer.Kind(), ImageKind::kPpm);
  EXPECT_EQ(f.writer.VariantLetter(), 0);
}

class AlignmentTest : public ::testing::Test {
 protected:
  // Writes a 4-byte block at 0x200000 and finishes against an alignator at address.
  Bytes Aligned(std::uint32_t address, std::optional<std::uint8_t> bad_id = std::nullopt) {
    Record alignator(address, {1, 2, 3});
    if (bad_id) alignator.WithId(*bad_id).WithHeaderChecksum(0);
    testing::WriteFile(dir_ / "align", alignator.Build());
    Fixture f;
    f.Place(0x200000, {1, 2, 3, 4});
    f.writer.Finish((dir_ / "align").string());
    return f.image.Bytes();
  }
  testing::ScopedTempDir dir_;
};

TEST_F(AlignmentTest, FillsWholeUnitsThenTheRest) {
  const Bytes image = Aligned(0x200000 + 65536 + 65536 + 256);
  ASSERT_EQ(image.size(), 65536u * 2 + 256);
  EXPECT_EQ(Bytes(image.begin() + 4, image.end()), Bytes(image.size() - 4, 0xFF));
}

TEST_F(AlignmentTest, PartOfAUnit) {
  EXPECT_EQ(Aligned(0x200000 + 65536 + 256).size(), 65536u + 256);
}

TEST_F(AlignmentTest, NeverShortensOrUndoesTheRounding) {
  EXPECT_EQ(Aligned(0x200000 + 100).size(), 65536u);
  EXPECT_EQ(Aligned(0x100000).size(), 65536u);
}

TEST_F(AlignmentTest, AlignatorHeaderIsNotValidated) {
  EXPECT_EQ(Aligned(0x200000 + 65536 + 8, 0x99).size(), 65536u + 8);
}

TEST_F(AlignmentTest, ShortOrMissingAlignatorIsAFileError) {
  testing::WriteFile(dir_ / "short", {0x0B, 0x20, 0x00});
  Fixture f;
  f.Place(0x200000, {1});
  EXPECT_THROW(f.writer.Finish((dir_ / "short").string()), FileError);
  EXPECT_THROW(f.writer.Finish((dir_ / "missing").string()), FileError);
}

}  // namespace
}  // namespace kv2pelmo
