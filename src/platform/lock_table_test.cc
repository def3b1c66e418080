// The lock table read for one file: held, waited for, or another file's.
#include "platform/lock_table.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kv2pelmo {
namespace {

InUse Read(const std::string& table) {
  std::istringstream in(table);
  return HeldInLockTable(in, 0xfd, 0x1, 4711);
}

TEST(LockTableTest, OnlyAHolderOfThatVeryFileCounts) {
  EXPECT_EQ(Read("1: FLOCK  ADVISORY  WRITE 99 fd:01:4711 0 EOF\n"), InUse::kYes);
  EXPECT_EQ(Read("1: FLOCK  ADVISORY  WRITE 99 fd:01:4712 0 EOF\n"
                 "2: POSIX  ADVISORY  WRITE 98 fd:02:4711 0 EOF\n"
                 "3: FLOCK  ADVISORY  WRITE 97 df:01:4711 0 EOF\n"
                 "4: FLOCK  ADVISORY  WRITE 96 fd:01:47110 0 EOF\n"),
            InUse::kNo);
  EXPECT_EQ(Read("1: FLOCK  ADVISORY  WRITE 99 fd:01:4712 0 EOF\n"
                 "1: -> FLOCK  ADVISORY  WRITE 95 fd:01:4711 0 EOF\n"),
            InUse::kNo);
}

}  // namespace
}  // namespace kv2pelmo
