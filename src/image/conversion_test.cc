// Convert's sequence over in-memory files: blocks first, then rounding, then the alignator.
#include "image/conversion.h"

#include <gtest/gtest.h>

#include "io/memory_file.h"
#include "record_builder.h"

namespace kv2pelmo {
namespace {

using test::Bytes;
using test::Record;

struct Converted {
  std::variant<ImageFacts, Refusal> result;
  Bytes image;
};

// Converts file, with an alignator of the bytes given, if any.
Converted ConvertBytes(Bytes file, const std::optional<Bytes>& alignator = std::nullopt) {
  Converted converted{Refusal{}, {}};
  InputStream input(std::make_unique<MemoryFile>(file), "fw.480");
  ImageStream image(std::make_unique<MemoryFile>(converted.image), "tempdct3.tmp");
  Bytes alignator_bytes = alignator.value_or(Bytes{});
  Conversion conversion(input, image);
  if (std::optional<Refusal> refusal = conversion.PlaceBlocksAndRound()) {
    converted.result = *refusal;
  } else if (alignator) {
    InputStream stream(std::make_unique<MemoryFile>(alignator_bytes), "fw.48g");
    converted.result = conversion.AlignAndRelease(ReadFirstHeader(stream));
  } else {
    converted.result = conversion.AlignAndRelease(std::nullopt);
  }
  image.Close();
  return converted;
}

// A bad block is refused whatever the alignator; a bad alignator after good
// blocks leaves the rounded image.
TEST(ConversionTest, BlocksAreCheckedBeforeTheAlignator) {
  const Bytes bad_alignator = Record(0x3A0000, {}).WithId(0).Build();
  Converted bad = ConvertBytes(Record(0x200000, {1}).WithId(0x0C).Build(), bad_alignator);
  EXPECT_EQ(std::get<Refusal>(bad.result).kind, Refusal::Kind::kBadId);

  Converted good = ConvertBytes(Record(0x200000, {1}).Build(), bad_alignator);
  EXPECT_EQ(std::get<Refusal>(good.result).kind, Refusal::Kind::kAlignatorBadId);
  Bytes rounded(0x10000, 0xFF);
  rounded[0] = 1;
  EXPECT_EQ(good.image, rounded);
}

// The image is padded up to where the alignator begins, unless it begins
// below the image's end, which is said.
TEST(ConversionTest, TheAlignatorExtendsTheImageOrIsNoted) {
  const Bytes mcu = Record(0x200000, {1}).Build();
  Converted joined = ConvertBytes(mcu, Record(0x230000, {2}).Build());
  const auto& image = std::get<ImageFacts>(joined.result);
  EXPECT_EQ(image.base_address, 0x200000);
  EXPECT_FALSE(image.alignator_below_end);
  EXPECT_EQ(joined.image.size(), 0x30000u);
  EXPECT_EQ(joined.image.back(), 0xFF);

  Converted below = ConvertBytes(mcu, Record(0x1F0000, {2}).Build());
  EXPECT_TRUE(std::get<ImageFacts>(below.result).alignator_below_end);
  EXPECT_EQ(below.image.size(), 0x10000u);
}

}  // namespace
}  // namespace kv2pelmo
