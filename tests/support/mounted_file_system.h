// A real file system mounted from an image file, for end-to-end tests on it.
#ifndef KV2PELMO_TESTS_SUPPORT_MOUNTED_FILE_SYSTEM_H_
#define KV2PELMO_TESTS_SUPPORT_MOUNTED_FILE_SYSTEM_H_

#include <filesystem>
#include <ostream>
#include <string>

#include "temp_dir.h"

namespace kv2pelmo::test {

/// A fresh, empty file system in an image file of its own, mounted through
/// FUSE as Debian's tools do it: FAT32 with fusefat, exFAT with exfat-fuse
/// on a loop device, open to every user. POSIX builds only; mounting needs
/// root and /dev/fuse.
class MountedFileSystem {
 public:
  enum class Kind { kFat32, kExfat };
  /// Names a kind in the names of the test cases.
  friend void PrintTo(Kind kind, std::ostream* out) {
    *out << (kind == Kind::kFat32 ? "FAT32" : "exFAT");
  }

  /// Makes and mounts the file system; where that cannot be done here,
  /// Mounted() is false and Why() says what stood in the way.
  explicit MountedFileSystem(Kind kind);
  /// Unmounts it and removes the image.
  ~MountedFileSystem();
  MountedFileSystem(const MountedFileSystem&) = delete;
  MountedFileSystem& operator=(const MountedFileSystem&) = delete;

  bool Mounted() const { return why_.empty(); }
  const std::string& Why() const { return why_; }
  /// Returns the mount point.
  const std::filesystem::path& Path() const { return mount_point_; }

 private:
  ScopedTempDir scratch_;
  std::filesystem::path mount_point_;
  std::string loop_device_;
  std::string why_;
};

/// Returns the names in dir, without "." and "..", sorted.
std::string Listing(const std::filesystem::path& dir);

}  // namespace kv2pelmo::test

#endif  // KV2PELMO_TESTS_SUPPORT_MOUNTED_FILE_SYSTEM_H_
