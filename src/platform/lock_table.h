// The kernel's table of file locks, as /proc/locks shows it, read for one file.
#ifndef KV2PELMO_PLATFORM_LOCK_TABLE_H_
#define KV2PELMO_PLATFORM_LOCK_TABLE_H_

#include <cstdint>
#include <istream>

#include "handover/file_system.h"

namespace kv2pelmo {

/// Returns whether the table, lines of "1: FLOCK ADVISORY WRITE pid
/// major:minor:inode start end" open to all, shows a lock held on the file
/// of that device (its major and minor numbers) and inode. Waiters' lines
/// carry "->" and hold nothing. Ask LockTableNamesDevice first.
InUse HeldInLockTable(std::istream& table, unsigned long major_number, unsigned long minor_number,
                      std::uint64_t inode);

/// Returns true when the mount table, lines of /proc/self/mountinfo, shows
/// a mount of that device that is no overlay: only there does the lock
/// table name a file's device as stat does. A btrfs subvolume's device is
/// no mount's, and an overlay's locks name the file beneath.
bool LockTableNamesDevice(std::istream& mounts, unsigned long major_number,
                          unsigned long minor_number);

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_LOCK_TABLE_H_
