// Giving the held image its final name on POSIX systems, durably, on any file system.
#ifndef KV2PELMO_PLATFORM_NAMING_POSIX_H_
#define KV2PELMO_PLATFORM_NAMING_POSIX_H_

#include <string>

namespace kv2pelmo {

/// Brings the data of the file open as fd to the disk. Returns false when
/// it may not have got there.
bool SyncData(int fd);

/// Gives the image open as image_fd, synced and which path denoted when just
/// checked, the name to, replacing a file of that name; the name reaches the
/// disk before this returns, and a copy before it is named. The held file
/// itself is named where the file system has links; where it has none, path
/// is renamed; across file systems a copy is named once whole. Hidden names
/// that killed runs left beside to are removed first. Throws
/// FileError(kRename) when it cannot be named; to is then untouched.
void NameHeldImage(int image_fd, const std::string& path, const std::string& to);

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_NAMING_POSIX_H_
