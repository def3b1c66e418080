// Files in memory for the run, with the failures a test asks for.
#ifndef KV2PELMO_TESTS_SUPPORT_MEMORY_FILE_SYSTEM_H_
#define KV2PELMO_TESTS_SUPPORT_MEMORY_FILE_SYSTEM_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace kv2pelmo::test {

/// A file system of named byte vectors, so that the run can be tested in
/// the test's own process: what it opens, creates and names.
class MemoryFileSystem final : public FileSystem {
 public:
  /// Every file, by name.
  std::map<std::string, std::vector<std::uint8_t>> files;
  /// When set, a write that would make the image longer fails.
  std::optional<std::uint64_t> image_limit;
  /// When set, naming the image fails.
  bool fail_rename = false;
  /// The names opened for reading or created, in order.
  std::vector<std::string> touched;

  bool Exists(const std::string& path) override { return files.count(path) > 0; }
  std::unique_ptr<InputStream> OpenForReading(const std::string& path) override;
  std::unique_ptr<TemporaryImage> CreateImage(const std::string& path,
                                              const std::vector<std::string>& keep,
                                              const std::function<void()>& on_long_wait) override;
};

}  // namespace kv2pelmo::test

#endif  // KV2PELMO_TESTS_SUPPORT_MEMORY_FILE_SYSTEM_H_
