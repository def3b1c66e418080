// An in-memory file under a stream that counts the writes reaching it, for the streams' tests.
#ifndef KV2PELMO_TESTS_SUPPORT_WATCHED_FILE_H_
#define KV2PELMO_TESTS_SUPPORT_WATCHED_FILE_H_

#include <memory>
#include <utility>

#include "io/memory_file.h"
#include "record_builder.h"

namespace kv2pelmo::test {

// What the tests see of the file under the stream, also after it is gone.
struct FileState {
  Bytes bytes;
  int writes = 0;
  bool fail_writes = false;  // when set, every write throws
};

// The in-memory file, counting the writes that reach it.
class WatchedFile final : public RawFile {
 public:
  explicit WatchedFile(FileState& state) : state_(state), file_(state.bytes) {}
  std::size_t ReadSome(void* data, std::size_t n) override { return file_.ReadSome(data, n); }
  void WriteAll(const void* data, std::size_t n) override {
    ++state_.writes;
    if (state_.fail_writes) throw FileError(FileError::Kind::kWrite, "image");
    file_.WriteAll(data, n);
  }
  void Seek(std::uint64_t offset) override { file_.Seek(offset); }
  std::uint64_t Size() override { return file_.Size(); }
  void Close() override {}

 private:
  FileState& state_;
  MemoryFile file_;
};

// A stream of either kind over a watched file.
template <typename Stream>
struct Fixture {
  explicit Fixture(Bytes initial = {}) {
    file.bytes = std::move(initial);
    stream = std::make_unique<Stream>(std::make_unique<WatchedFile>(file), "image");
  }
  FileState file;
  std::unique_ptr<Stream> stream;
};

/// The bytes of every transfer size from 0 to most, one after another, each
/// counting from its own size.
inline Bytes EverySizeUpTo(std::size_t most) {
  Bytes bytes;
  for (std::size_t size = 0; size <= most; ++size) {
    const Bytes piece = Counting(size, static_cast<std::uint8_t>(size));
    bytes.insert(bytes.end(), piece.begin(), piece.end());
  }
  return bytes;
}

}  // namespace kv2pelmo::test

#endif  // KV2PELMO_TESTS_SUPPORT_WATCHED_FILE_H_
