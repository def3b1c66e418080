// What the platforms share of the file layer: the seam, the copy, a path's directory part.
#include "platform/file_system.h"

#include <vector>

namespace kv2pelmo {
namespace {

class Platform final : public FileSystem {
 public:
  bool Exists(const std::string& path) override { return FileExists(path); }
  std::unique_ptr<InputStream> OpenForReading(const std::string& path) override {
    return kv2pelmo::OpenForReading(path);
  }
  std::unique_ptr<TemporaryImage> CreateImage(const std::string& path,
                                              const std::vector<std::string>& spared,
                                              const std::function<void()>& on_long_wait) override {
    return TemporaryImage::Create(path, spared, on_long_wait);
  }
};

}  // namespace

FileSystem& PlatformFileSystem() {
  static Platform platform;
  return platform;
}

void CopyRest(RawFile& from, RawFile& to) {
  std::vector<unsigned char> chunk(std::size_t{1} << 16);
  while (const std::size_t got = from.ReadSome(chunk.data(), chunk.size())) {
    to.WriteAll(chunk.data(), got);
  }
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t end = path.find_last_of(PathSeparators());
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

}  // namespace kv2pelmo
