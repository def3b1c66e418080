// Whole-file byte reads and writes for the tests, the fuzzer and the generators.
#ifndef KV2PELMO_TESTS_SUPPORT_BYTE_FILES_H_
#define KV2PELMO_TESTS_SUPPORT_BYTE_FILES_H_

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace kv2pelmo::test {

/// Writes bytes to path, replacing it. Returns false when it cannot.
inline bool SaveBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

/// Returns the bytes of path, or nothing when it cannot be read.
inline std::optional<std::vector<std::uint8_t>> LoadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace kv2pelmo::test

#endif  // KV2PELMO_TESTS_SUPPORT_BYTE_FILES_H_
