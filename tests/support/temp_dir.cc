// Scoped temporary directories and file helpers for tests.
#include "temp_dir.h"

#include <atomic>
#include <chrono>
#include <stdexcept>

#include "byte_files.h"

namespace kv2pelmo::test {

ScopedTempDir::ScopedTempDir() {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (;;) {
    path_ = base / ("kv2pelmo-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(path_)) break;
  }
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  if (!SaveBytes(path, bytes)) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path) {
  std::optional<std::vector<std::uint8_t>> bytes = LoadBytes(path);
  if (!bytes) throw std::runtime_error("cannot read " + path.string());
  return *bytes;
}

}  // namespace kv2pelmo::test
