// Header arithmetic against the format's worked example and its boundaries.
#include "blockfile/block_header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace kv2pelmo {
namespace {

// Four data bytes 01 02 03 04 at address 0x200000.
const BlockHeader kExample{{0x0B, 0x20, 0x00, 0x00, 0xF6, 0x00, 0x00, 0x04, 0xE5}};

TEST(BlockHeaderTest, WorkedExampleAndUnsignedBigEndianFields) {
  const std::uint8_t data[] = {1, 2, 3, 4};
  EXPECT_EQ(FlashBlockChecksum(data, 4), 0xF6);
  EXPECT_EQ(HeaderChecksum(kExample), 0xE5);
  EXPECT_EQ(BlockAddress(kExample), 0x200000);
  EXPECT_EQ(BlockLength(kExample), 4);
  const BlockHeader high{{0x0B, 0xFF, 0xFE, 0xFD, 0x00, 0x80, 0x01, 0x02, 0x00}};
  EXPECT_EQ(BlockAddress(high), 0xFFFEFD);
  EXPECT_EQ(BlockLength(high), 0x800102);
}

TEST(BlockHeaderTest, HeaderChecksumCoversBytesOneToSevenOnly) {
  BlockHeader changed = kExample;
  changed.bytes[0] = 0x00;  // the identifier is not covered
  changed.bytes[8] = 0x00;  // nor the checksum itself
  EXPECT_EQ(HeaderChecksum(changed), 0xE5);
  changed.bytes[4] = 0xF7;  // the data checksum is
  EXPECT_EQ(HeaderChecksum(changed), 0xE4);
}

// The sum is taken sixteen bytes at a time and folded; every length, every
// start within a vector's width, and bytes that carry as far as they can
// must give what a plain byte-by-byte sum gives.
TEST(BlockHeaderTest, DataChecksumWrapsAndMatchesAPlainSumForEveryLengthAndStart) {
  const std::uint8_t wraps[] = {0xFF, 0xFF, 0x03};  // sum 0x201
  EXPECT_EQ(FlashBlockChecksum(wraps, 0), 0x00);
  EXPECT_EQ(FlashBlockChecksum(wraps, 3), 0xFF);

  std::mt19937 random(7);  // NOLINT(cert-msc32-c,cert-msc51-cpp): same bytes every run
  std::vector<std::uint8_t> noise(400);
  std::generate(noise.begin(), noise.end(),
                [&random] { return static_cast<std::uint8_t>(random()); });
  const std::vector<std::uint8_t> all_ones(400, 0xFF);
  for (const std::vector<std::uint8_t>* bytes : {&std::as_const(noise), &all_ones}) {
    for (std::size_t start = 0; start < 16; ++start) {
      std::uint8_t plain = 0;
      for (std::size_t length = 0; start + length <= 300; ++length) {
        ASSERT_EQ(FlashBlockChecksum(bytes->data() + start, length), plain)
            << "start " << start << ", length " << length;
        plain = static_cast<std::uint8_t>(plain - (*bytes)[start + length]);
      }
    }
  }
}

}  // namespace
}  // namespace kv2pelmo
