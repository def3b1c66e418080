// The in-memory file system: files, a temporary image, and failures on demand.
#include "memory_file_system.h"

#include "platform/memory_file.h"

namespace kv2pelmo::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A memory file whose writes fail past a limit, as on a full disk.
class LimitedFile final : public RawFile {
 public:
  LimitedFile(Bytes& bytes, std::optional<std::uint64_t> limit) : file_(bytes), limit_(limit) {}
  std::size_t ReadSome(void* data, std::size_t n) override { return file_.ReadSome(data, n); }
  void WriteAll(const void* data, std::size_t n) override {
    if (limit_ && position_ + n > *limit_) throw FileError(FileError::Kind::kWrite, "image");
    file_.WriteAll(data, n);
    position_ += n;
  }
  void Seek(std::uint64_t offset) override {
    file_.Seek(offset);
    position_ = offset;
  }
  std::uint64_t Size() override { return file_.Size(); }
  void Close() override {}

 private:
  MemoryFile file_;
  std::optional<std::uint64_t> limit_;
  std::uint64_t position_ = 0;
};

class MemoryImage final : public TemporaryImage {
 public:
  MemoryImage(MemoryFileSystem& fs, std::string path)
      : fs_(fs),
        path_(std::move(path)),
        stream_(std::make_unique<LimitedFile>(fs.files[path_], fs.image_limit), path_) {}

  ImageStream& Stream() override { return stream_; }
  void Sync() override { stream_.Flush(); }
  void MoveTo(const std::string& to) override {
    if (fs_.fail_rename) throw FileError(FileError::Kind::kRename, path_, to);
    stream_.Close();
    fs_.files[to] = std::move(fs_.files[path_]);
    fs_.files.erase(path_);
  }

 private:
  MemoryFileSystem& fs_;
  std::string path_;
  ImageStream stream_;
};

}  // namespace

std::unique_ptr<InputStream> MemoryFileSystem::OpenForReading(const std::string& path) {
  touched.push_back(path);
  const auto file = files.find(path);
  if (file == files.end()) throw FileError(FileError::Kind::kOpen, path);
  return std::make_unique<InputStream>(std::make_unique<MemoryFile>(file->second), path);
}

std::unique_ptr<TemporaryImage> MemoryFileSystem::CreateImage(const std::string& path,
                                                              const std::vector<std::string>&,
                                                              const std::function<void()>&) {
  touched.push_back(path);
  files[path].clear();
  return std::make_unique<MemoryImage>(*this, path);
}

}  // namespace kv2pelmo::test
