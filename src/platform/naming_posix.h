// Giving the held image its final name on POSIX systems, durably, on any file system.
#ifndef KV2PELMO_PLATFORM_NAMING_POSIX_H_
#define KV2PELMO_PLATFORM_NAMING_POSIX_H_

#include <string>

namespace kv2pelmo {

/// Returns the directory part of path, separator included; empty for a bare name.
std::string DirectoryOf(const std::string& path);

/// Gives the image open as image_fd, which path denoted when just checked,
/// the name to, replacing a file of that name. Its bytes reach the disk
/// before it is named, and the name before this returns. The held file
/// itself is named where the file system has links; where it has none, path
/// is renamed; across file systems a copy is named once whole. Hidden names
/// that killed runs left beside to are removed first. Throws
/// FileError(kWrite) when the image cannot be written out, FileError(kRename)
/// when it cannot be named; to is then untouched.
void NameHeldImage(int image_fd, const std::string& path, const std::string& to);

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_NAMING_POSIX_H_
