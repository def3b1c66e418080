// BlockMap: its stretches against a plain sort and merge, in its table and past it.
#include "image/block_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace kv2pelmo {
namespace {

using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;

// What the map must find: the records' stretches sorted, then merged.
Ranges SortAndMerge(Ranges stretches) {
  std::sort(stretches.begin(), stretches.end());
  Ranges merged;
  for (const auto& [start, end] : stretches) {
    if (!merged.empty() && start <= merged.back().second) {
      merged.back().second = std::max(merged.back().second, end);
    } else {
      merged.emplace_back(start, end);
    }
  }
  return merged;
}

class BlockMapTest : public ::testing::TestWithParam<int> {};

// Records in runs that follow one another, the runs at random places: some
// overlap, some touch, some span bitmap words, one reaches the last address.
TEST_P(BlockMapTest, FindsWhatASortAndMergeFinds) {
  std::mt19937 random(GetParam());
  BlockMap map;
  Ranges stretches;
  const int runs = GetParam();
  for (int run = 0; run < runs; ++run) {
    auto address = static_cast<std::int32_t>(random() % 0x20000);
    if (run == runs / 2) address = 0xFFFFFF;
    for (std::uint32_t record = random() % 3; record-- > 0;) {
      const auto length = static_cast<std::int32_t>(random() % 200);
      map.Add(address, length);
      if (length > 0) stretches.emplace_back(address, address + length);
      address += length;
    }
  }
  Ranges ranges;
  map.ForEachRange([&](std::int64_t start, std::int64_t end) { ranges.emplace_back(start, end); });
  EXPECT_EQ(ranges, SortAndMerge(stretches));
}

// Fewer stretches than the table holds, and many more.
INSTANTIATE_TEST_SUITE_P(TableAndBitmap, BlockMapTest, ::testing::Values(20, 3000));

// Ranges given out of order, whole bitmap words, the last address there is,
// and the count of records, empty ones too.
TEST(BlockMapRanges, MergeWhereTheyTouchOrOverlapInAnyOrder) {
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
  Ranges ranges;
  map.ForEachRange([&](std::int64_t start, std::int64_t end) { ranges.emplace_back(start, end); });
  EXPECT_EQ(map.Records(), 8u);
  const Ranges expected = {{0x0F0, 0x128}, {0x200, 0x204}, {0x1000, 0x2000}, {0xFFFFFF, 0x1FFFFFE}};
  EXPECT_EQ(ranges, expected);
}

}  // namespace
}  // namespace kv2pelmo
