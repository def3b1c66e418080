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

// A device no mount shows (a btrfs subvolume's) or an overlay's cannot be
// looked up in the lock table.
TEST(LockTableTest, OnlyAMountsOwnDeviceIsLookedUp) {
  std::istringstream mounts(
      "47 28 0:41 / /mnt/b rw - btrfs /dev/loop0 rw\n"
      "50 28 0:48 / /mnt/o rw - overlay overlay rw,lowerdir=/l\n"
      "51 28 253:1 / / rw - ext4 /dev/dm-1 rw\n");
  const auto names = [&](unsigned long major_number, unsigned long minor_number) {
    mounts.clear();
    mounts.seekg(0);
    return LockTableNamesDevice(mounts, major_number, minor_number);
  };
  EXPECT_TRUE(names(0, 41));
  EXPECT_TRUE(names(253, 1));
  EXPECT_FALSE(names(0, 43));
  EXPECT_FALSE(names(0, 48));
}

}  // namespace
}  // namespace kv2pelmo
