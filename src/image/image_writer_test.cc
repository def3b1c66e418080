// ImageWriter on in-memory images: placement, gaps, PPM detection, rounding, alignment.
#include "image/image_writer.h"

#include <gtest/gtest.h>

#include "io/memory_file.h"
#include "record_builder.h"

namespace kv2pelmo {
namespace {

using test::Bytes;
using test::Counting;
using test::WithPpmMark;

struct Fixture {
  Bytes bytes;
  ImageStream image{std::make_unique<MemoryFile>(bytes), "tempdct3.tmp"};
  BlockBuffer buffer = BlockBuffer(BlockBufferSize);
  ImageWriter writer{image, buffer};

  // Finishes the image and returns its bytes.
  const Bytes& Finish(std::optional<std::int32_t> align_address = std::nullopt) {
    writer.Finish();
    if (align_address) writer.AlignTo(*align_address);
    image.Close();
    return bytes;
  }

  // Places data as the run does: through the shared buffer.
  bool Place(std::int32_t address, const Bytes& data) {
    std::copy(data.begin(), data.end(), buffer.begin());
    return writer.PlaceBlock(address, buffer.data(), static_cast<std::int32_t>(data.size()));
  }
};

// An empty block moves the image's end, never where the next block lands.
TEST(ImageWriterTest, EmptyBlockMovesOnlyTheEnd) {
  Fixture f;
  f.Place(0x100, Counting(16));
  f.Place(0x120, {});
  f.Place(0x110, {9});  // right after the first block, not after the empty one
  const Bytes& image = f.Finish();
  EXPECT_EQ(image[0x10], 9);
  EXPECT_EQ(image[0x1F], 0);
  EXPECT_EQ(image[0x20], 0xFF);
}

TEST(ImageWriterTest, FillNeverOverwritesBlocksOutOfOrder) {
  Fixture f;
  f.Place(0x0, Counting(20));
  f.Place(0x40, Counting(4, 0xA0));
  f.Place(0x8, {0xEE});  // position is now 9, well before the end
  const Bytes& image = f.Finish();
  ASSERT_EQ(image.size(), 65536u);
  EXPECT_EQ(image[8], 0xEE);
  EXPECT_EQ(image[9], 9);
  EXPECT_EQ(Bytes(image.begin() + 0x40, image.begin() + 0x44), Counting(4, 0xA0));
  EXPECT_EQ(image[0x44], 0xFF);
}

TEST(ImageWriterTest, PpmMarkAtOffsetZeroGivesKindAndVariant) {
  Fixture f;
  f.Place(0x3A0000, WithPpmMark(Counting(64), 'A'));
  EXPECT_EQ(f.writer.Kind(), ImageKind::kPpm);
  EXPECT_EQ(f.writer.VariantLetter(), 'A');
  f.Place(0x3A0000, Counting(64));  // no mark: the decision stands
  EXPECT_EQ(f.writer.Kind(), ImageKind::kPpm);
  EXPECT_EQ(f.writer.VariantLetter(), 'A');
  f.Place(0x3A0000, WithPpmMark(Counting(64), 'B'));  // another mark: the last decides
  EXPECT_EQ(f.writer.VariantLetter(), 'B');
  f.Place(0x3A0000, {'P', 'P', 'M'});  // the mark alone, with no byte 40
  EXPECT_EQ(f.writer.Kind(), ImageKind::kPpm);
  EXPECT_EQ(f.writer.VariantLetter(), 0);
}

TEST(ImageWriterTest, PpmMarkCountsOnlyInTheBlocksOwnBytes) {
  Fixture f;
  f.Place(0x100, Counting(64));
  f.Place(0x200, WithPpmMark(Counting(64), 'Z'));  // not at offset 0: no mark
  EXPECT_EQ(f.writer.Kind(), ImageKind::kMcu);
  f.Place(0x100, {'P'});  // the buffer still reads "PPM", the block does not
  EXPECT_EQ(f.writer.Kind(), ImageKind::kMcu);
  f.Place(0x100, WithPpmMark(Counting(40), 'Q'));  // a mark, but no byte 40 of its own
  EXPECT_EQ(f.writer.Kind(), ImageKind::kPpm);
  EXPECT_EQ(f.writer.VariantLetter(), 0);
}

// A 4-byte block at 0x200000, finished against an alignator at address.
Bytes Aligned(std::int32_t address, bool measure_fill_only = false) {
  Fixture f;
  if (measure_fill_only) f.writer.MeasureFillOnly();
  f.Place(0x200000, {1, 2, 3, 4});
  return f.Finish(address);
}

TEST(ImageWriterTest, AlignmentNeverShortensOrUndoesTheRounding) {
  EXPECT_EQ(Aligned(0x200000 + 100).size(), 65536u);
  EXPECT_EQ(Aligned(0x100000).size(), 65536u);
}

// Measured, the fill gives the image the size written fill gives it.
TEST(ImageWriterTest, MeasuredFillReachesTheSameSize) {
  for (const std::int32_t address : {0x100000, 0x200000 + 100, 0x200000 + 0x30005}) {
    EXPECT_EQ(Aligned(address, true).size(), Aligned(address).size()) << address;
  }
}

}  // namespace
}  // namespace kv2pelmo
