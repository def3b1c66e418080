// What the platforms share of the file layer: the file-system seam and the directory part of a path.
#include "platform/file_system.h"

namespace kv2pelmo {
namespace {

class Platform final : public FileSystem {
 public:
  bool Exists(const std::string& path) override { return FileExists(path); }
  std::unique_ptr<InputStream> OpenForReading(const std::string& path) override {
    return kv2pelmo::OpenForReading(path);
  }
  std::unique_ptr<TemporaryImage> CreateImage(const std::string& path,
                                              const std::vector<std::string>& keep,
                                              const std::function<void()>& on_long_wait) override {
    return TemporaryImage::Create(path, keep, on_long_wait);
  }
};

}  // namespace

FileSystem& PlatformFileSystem() {
  static Platform platform;
  return platform;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t end = path.find_last_of(PathSeparators());
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

}  // namespace kv2pelmo
