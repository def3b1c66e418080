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
  std::uint64_t records = 0;
  const int runs = GetParam();
  for (int run = 0; run < runs; ++run) {
    auto address = static_cast<std::int32_t>(random() % 0x20000);
    if (run == runs / 2) address = 0xFFFFFF;
    for (std::uint32_t record = random() % 3; record-- > 0;) {
      const auto length = static_cast<std::int32_t>(random() % 200);
      map.Add(address, length);
      ++records;
      if (length > 0) stretches.emplace_back(address, address + length);
      address += length;
    }
  }
  map.Add(0xFFFFFF, 0xFFFFFF);  // the longest record at the last address
  stretches.emplace_back(0xFFFFFF, 0x1FFFFFE);
  ++records;
  Ranges ranges;
  map.ForEachRange([&](std::int64_t start, std::int64_t end) { ranges.emplace_back(start, end); });
  EXPECT_EQ(ranges, SortAndMerge(stretches));
  EXPECT_EQ(map.Records(), records);  // empty ones too
}

// Fewer stretches than the table holds, and many more.
INSTANTIATE_TEST_SUITE_P(TableAndBitmap, BlockMapTest, ::testing::Values(20, 3000));

}  // namespace
}  // namespace kv2pelmo
