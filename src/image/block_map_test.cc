// The stretches a block map finds: merged where they touch or overlap, in any order.
#include "image/block_map.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace kv2pelmo {
namespace {

TEST(BlockMapTest, RangesMergeWhereTheyTouchOrOverlapInAnyOrder) {
  BlockMap map;
  for (const auto& [address, length] : {std::pair{0x100, 0x10},
                                        {0x110, 0x10},
                                        {0x200, 4},
                                        {0x300, 0},
                                        {0x108, 0x20},
                                        {0x0F0, 0x10}}) {
    map.Add(address, length);
  }
  // Words of the bitmap whole and in part, and the last address there is.
  map.Add(0x1000, 0x1000);
  map.Add(0xFFFFFF, 0xFFFFFF);
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
  map.ForEachRange([&](std::int64_t start, std::int64_t end) { ranges.emplace_back(start, end); });
  EXPECT_EQ(map.Records(), 8u);
  const std::vector<std::pair<std::int64_t, std::int64_t>> expected = {
      {0x0F0, 0x128}, {0x200, 0x204}, {0x1000, 0x2000}, {0xFFFFFF, 0x1FFFFFE}};
  EXPECT_EQ(ranges, expected);
}

}  // namespace
}  // namespace kv2pelmo
