// A scoped temporary directory and small file helpers for tests.
#ifndef KV2PELMO_TESTS_SUPPORT_TEMP_DIR_H_
#define KV2PELMO_TESTS_SUPPORT_TEMP_DIR_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kv2pelmo::test {

/// A fresh directory, removed with everything in it when this goes away.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  /// Returns the directory's path.
  const std::filesystem::path& Path() const { return path_; }
  /// Returns the path of name inside the directory.
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// Writes bytes to path, replacing it; throws std::runtime_error (which fails
/// the test) when it cannot.
void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
/// Returns the bytes of path; throws std::runtime_error when it cannot read them.
std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);

}  // namespace kv2pelmo::test

#endif  // KV2PELMO_TESTS_SUPPORT_TEMP_DIR_H_
