// The whole-file copy: exact where the bytes arrive, a failure where they are lost.
#include "io/raw_file.h"

#include <gtest/gtest.h>

#include "io/memory_file.h"
#include "record_builder.h"

namespace kv2pelmo {
namespace {

using test::Bytes;

// A file whose driver drops every write past its first byte, yet says it
// took them: what a lost copy on a FUSE stick looked like.
class LosingFile final : public RawFile {
 public:
  std::size_t ReadSome(void*, std::size_t) override { return 0; }
  void WriteAll(const void*, std::size_t) override { size_ = 1; }
  void Seek(std::uint64_t) override {}
  std::uint64_t Size() override { return size_; }
  void Close() override {}

 private:
  std::uint64_t size_ = 0;
};

TEST(RawFileTest, CopyWholeIsExactOrFails) {
  Bytes image = test::Counting(200000), copied;
  MemoryFile from(image), to(copied);
  CopyWhole(from, to);
  EXPECT_EQ(copied, image);

  LosingFile lost;
  EXPECT_THROW(CopyWhole(from, lost), FileError);
}

}  // namespace
}  // namespace kv2pelmo
