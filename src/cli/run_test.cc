// The run's small decisions: when to wait for Enter, and how block ranges merge.
#include "cli/run.h"

#include <gtest/gtest.h>

namespace kv2pelmo {
namespace {

TEST(RunTest, WaitsOnlyInAConsoleOfItsOwnThatItReadsAndWrites) {
  EXPECT_TRUE(WaitBeforeClosing({1, true, true}));     // started from Explorer
  EXPECT_FALSE(WaitBeforeClosing({2, true, true}));    // from a console window
  EXPECT_FALSE(WaitBeforeClosing({1, true, false}));   // output redirected
  EXPECT_FALSE(WaitBeforeClosing({1, false, true}));   // no Enter to read
  EXPECT_FALSE(WaitBeforeClosing({0, false, false}));  // no console known
}

TEST(RunTest, RangesMergeWhereTheyTouchOrOverlapInAnyOrder) {
  BlockMap map;
  for (const auto& [address, length] : {std::pair{0x100, 0x10},
                                        {0x110, 0x10},
                                        {0x200, 4},
                                        {0x300, 0},
                                        {0x108, 0x20},
                                        {0x0F0, 0x10}}) {
    map.Add(address, length);
  }
  map.Merge();
  EXPECT_EQ(map.records, 6u);
  const std::vector<std::pair<std::int64_t, std::int64_t>> expected = {{0x0F0, 0x128},
                                                                       {0x200, 0x204}};
  EXPECT_EQ(map.ranges, expected);
}

}  // namespace
}  // namespace kv2pelmo
