// Header arithmetic against the format's worked example and its boundaries.
#include "blockfile/block_header.h"

#include <gtest/gtest.h>

namespace kv2pelmo {
namespace {

// Four data bytes 01 02 03 04 at address 0x200000.
const BlockHeader kExample{{0x0B, 0x20, 0x00, 0x00, 0xF6, 0x00, 0x00, 0x04, 0xE5}};

TEST(BlockHeaderTest, WorkedExample) {
  const std::uint8_t data[] = {1, 2, 3, 4};
  EXPECT_EQ(FlashBlockChecksum(data, 4), 0xF6);
  EXPECT_EQ(HeaderChecksum(kExample), 0xE5);
  EXPECT_EQ(BlockAddress(kExample), 0x200000);
  EXPECT_EQ(BlockLength(kExample), 4);
}

TEST(BlockHeaderTest, HeaderChecksumCoversBytesOneToSevenOnly) {
  BlockHeader changed = kExample;
  changed.bytes[0] = 0x00;  // the identifier is not covered
  changed.bytes[8] = 0x00;  // nor the checksum itself
  EXPECT_EQ(HeaderChecksum(changed), 0xE5);
  changed.bytes[4] = 0xF7;  // the data checksum is
  EXPECT_EQ(HeaderChecksum(changed), 0xE4);
}

TEST(BlockHeaderTest, FieldsAreBigEndianAndUnsigned) {
  const BlockHeader header{{0x0B, 0xFF, 0xFE, 0xFD, 0x00, 0x80, 0x01, 0x02, 0x00}};
  EXPECT_EQ(BlockAddress(header), 0xFFFEFD);
  EXPECT_EQ(BlockLength(header), 0x800102);
}

TEST(BlockHeaderTest, DataChecksumWrapsAndIsZeroForNoData) {
  EXPECT_EQ(FlashBlockChecksum(nullptr, 0), 0x00);
  const std::uint8_t data[] = {0xFF, 0xFF, 0x03};  // sum 0x201
  EXPECT_EQ(FlashBlockChecksum(data, 3), 0xFF);
}

}  // namespace
}  // namespace kv2pelmo
