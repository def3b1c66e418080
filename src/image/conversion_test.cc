// The conversion's two steps over in-memory files: blocks placed and rounded, then aligned.
#include "image/conversion.h"

#include <gtest/gtest.h>

#include "io/memory_file.h"
#include "record_builder.h"

namespace kv2pelmo {
namespace {

using test::Bytes;
using test::Record;

// Converts an MCU file of one byte at 0x200000 with the alignator given;
// returns the outcome and the image's bytes.
std::pair<std::variant<ImageFacts, Refusal>, Bytes> ConvertWith(Bytes alignator) {
  Bytes file = Record(0x200000, {1}).Build(), image_bytes;
  InputStream input(std::make_unique<MemoryFile>(file), "fw.480");
  ImageStream image(std::make_unique<MemoryFile>(image_bytes), "tempdct3.tmp");
  Conversion conversion(input, image);
  EXPECT_FALSE(conversion.PlaceBlocksAndRound());
  InputStream alignator_stream(std::make_unique<MemoryFile>(alignator), "fw.48g");
  auto result = conversion.AlignAndRelease(ReadFirstHeader(alignator_stream));
  image.Close();
  return {result, image_bytes};
}

// A bad alignator leaves the rounded image; a good one pads the image up to
// where it begins, unless it begins below the image's end, which is noted.
TEST(ConversionTest, TheImageIsRoundedThenPaddedToTheAlignator) {
  const auto [bad, rounded] = ConvertWith(Record(0x3A0000, {}).WithId(0).Build());
  EXPECT_EQ(std::get<Refusal>(bad).kind, Refusal::Kind::kAlignatorBadId);
  Bytes expected(0x10000, 0xFF);
  expected[0] = 1;
  EXPECT_EQ(rounded, expected);

  const auto [joined, padded] = ConvertWith(Record(0x230000, {2}).Build());
  EXPECT_EQ(std::get<ImageFacts>(joined).base_address, 0x200000);
  EXPECT_FALSE(std::get<ImageFacts>(joined).alignator_below_end);
  expected.resize(0x30000, 0xFF);
  EXPECT_EQ(padded, expected);

  const auto [below, kept] = ConvertWith(Record(0x1F0000, {2}).Build());
  EXPECT_TRUE(std::get<ImageFacts>(below).alignator_below_end);
  EXPECT_EQ(kept.size(), 0x10000u);
}

}  // namespace
}  // namespace kv2pelmo
