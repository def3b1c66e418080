// The input and image streams over an in-memory file: what reaches the file, and when.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "io/image_stream.h"
#include "io/input_stream.h"
#include "io/memory_file.h"
#include "record_builder.h"

namespace kv2pelmo {
namespace {

using test::Bytes;
using test::Counting;
using test::Join;
using test::Repeat;

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
using Input = Fixture<InputStream>;
using Image = Fixture<ImageStream>;

TEST(StreamsTest, ReadsComeBackInOrderWhateverTheirSize) {
  const Bytes bytes = Counting(3 * kStreamCapacity + 5);
  Input f(bytes);
  Bytes got(bytes.size());
  std::size_t at = 0;
  for (std::size_t piece : {9, 1, 200000, 7, 100, 131072}) {
    f.stream->ReadExactly(got.data() + at, piece);
    at += piece;
    EXPECT_EQ(f.stream->Position(), at);
  }
  const unsigned char* in_place = f.stream->ReadInPlace(50);
  ASSERT_NE(in_place, nullptr);
  std::copy_n(in_place, 50, got.begin() + static_cast<std::ptrdiff_t>(at));
  at += 50;
  f.stream->ReadExactly(got.data() + at, bytes.size() - at);
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(f.stream->ReadInPlace(1), nullptr);
  std::uint8_t more;
  EXPECT_THROW(f.stream->ReadExactly(&more, 1), FileError);
}

// Every size of a record's transfer must move exactly its own bytes, no
// more, and contiguous writes reach the file together.
TEST(StreamsTest, SmallTransfersOfEverySizeAreExactAndWritesGathered) {
  Bytes bytes;
  for (std::size_t size = 0; size <= 80; ++size) {
    const Bytes piece = Counting(size, static_cast<std::uint8_t>(size));
    bytes.insert(bytes.end(), piece.begin(), piece.end());
  }
  Image out;
  std::size_t at = 0;
  for (std::size_t size = 0; size <= 80; at += size, ++size) {
    out.stream->WriteExactly(bytes.data() + at, size);
  }
  EXPECT_EQ(out.stream->Size(), bytes.size());
  EXPECT_EQ(out.file.writes, 0);
  out.stream->Close();
  EXPECT_EQ(out.file.writes, 1);
  ASSERT_EQ(out.file.bytes, bytes);

  Input in(bytes);
  Bytes got(bytes.size() + 16, 0xEE);
  at = 0;
  for (std::size_t size = 0; size <= 80; at += size, ++size) {
    in.stream->ReadExactly(got.data() + at, size);
    ASSERT_EQ(got[at + size], 0xEE) << "a read of " << size << " bytes wrote past its end";
  }
  got.resize(bytes.size());
  EXPECT_EQ(got, bytes);
}

TEST(StreamsTest, SeeksPlaceWritesAndSkippedBytesStayZero) {
  Image f;
  f.stream->WriteExactly(Bytes{1, 2}.data(), 2);
  f.stream->Seek(2);  // where it is already: nothing to flush
  EXPECT_EQ(f.file.writes, 0);
  f.stream->Seek(10);
  f.stream->WriteExactly(Bytes{3}.data(), 1);
  f.stream->Seek(1);
  f.stream->WriteExactly(Bytes{9}.data(), 1);
  f.stream->Seek(100);
  f.stream->WriteExactly(nullptr, 0);  // writing nothing does not extend the file
  EXPECT_EQ(f.stream->Size(), 11u);
  f.stream.reset();  // going away flushes too
  EXPECT_EQ(f.file.bytes, Bytes({1, 9, 0, 0, 0, 0, 0, 0, 0, 0, 3}));
}

// Writes that hop about, in the windows' stretches and across them, and
// writes larger than a window: the file ends as the plain model says, and
// writes that alternate between two stretches gather there.
TEST(StreamsTest, HoppingWritesLandAsIfWrittenInOrder) {
  std::mt19937 random(27);  // NOLINT(cert-msc32-c,cert-msc51-cpp): the same writes every run
  Image f;
  Bytes model;
  for (int i = 0; i < 3000; ++i) {
    const std::size_t at = random() % (i % 3 == 0 ? 1u << 20 : 2000);
    const std::size_t n = random() % 16 == 0 ? random() % 100000 : random() % 300;
    const Bytes piece = Counting(n, static_cast<std::uint8_t>(i));
    f.stream->Seek(at);
    f.stream->WriteExactly(piece.data(), n);
    if (n > 0 && model.size() < at + n) model.resize(at + n);
    std::copy(piece.begin(), piece.end(), model.begin() + static_cast<std::ptrdiff_t>(at));
    ASSERT_EQ(f.stream->Size(), model.size());
  }
  f.stream->Close();
  EXPECT_EQ(f.file.bytes, model);

  // Appends that run into a later window's stretch, past it or up to its
  // start, after a write or a seek: its older bytes yield.
  const auto written = [](std::initializer_list<std::tuple<int, int, int>> writes) {
    Image image;
    for (const auto& [at, n, value] : writes) {
      const Bytes piece(static_cast<std::size_t>(n), static_cast<std::uint8_t>(value));
      image.stream->Seek(static_cast<std::uint64_t>(at));
      image.stream->WriteExactly(piece.data(), piece.size());
    }
    image.stream->Close();
    return image.file.bytes;
  };
  Bytes expected(210, 3);
  std::fill_n(expected.begin(), 10, 2);
  std::fill_n(expected.begin() + 130, 20, 1);
  std::fill_n(expected.begin() + 150, 10, 0);
  std::fill_n(expected.begin() + 160, 40, 5);
  std::fill_n(expected.begin() + 200, 5, 6);
  std::fill_n(expected.begin() + 205, 5, 4);
  EXPECT_EQ(
      written({{100, 50, 1}, {0, 10, 2}, {10, 120, 3}, {200, 10, 4}, {160, 40, 5}, {200, 5, 6}}),
      expected);
  expected = Join({Repeat(10, 2), Repeat(15, 3), Repeat(5, 1), Repeat(20, 0), {9}});
  EXPECT_EQ(written({{20, 10, 1}, {0, 10, 2}, {50, 1, 9}, {10, 15, 3}}), expected);
  expected = Join({Repeat(50, 0), {9}, Repeat(39, 0), Repeat(10, 2), Repeat(5, 3), Repeat(5, 1)});
  EXPECT_EQ(written({{100, 10, 1}, {90, 10, 2}, {50, 1, 9}, {100, 5, 3}}), expected);

  Image banks;
  for (std::uint8_t i = 0; i < 200; ++i) {
    banks.stream->Seek(i % 2 == 0 ? i / 2 : (8u << 20) + i / 2);
    banks.stream->WriteExactly(&i, 1);
  }
  EXPECT_EQ(banks.file.writes, 0);
  banks.stream->Close();
  EXPECT_EQ(banks.file.writes, 2);
}

// A failed flush is reported by the call that made it, and then never again:
// not by a second Close, not when the stream goes away.
TEST(StreamsTest, FailedWriteSurfacesAtCloseOnce) {
  Image f;
  f.file.fail_writes = true;
  f.stream->WriteExactly(Counting(10).data(), 10);  // still buffered: no error yet
  EXPECT_EQ(f.file.writes, 0);
  EXPECT_THROW(f.stream->Close(), FileError);
  EXPECT_NO_THROW(f.stream->Close());
  f.stream.reset();
  EXPECT_EQ(f.file.writes, 1);

  Image big;
  big.file.fail_writes = true;
  const Bytes large = Counting(ImageStream::kDirectWrite);
  EXPECT_THROW(big.stream->WriteExactly(large.data(), large.size()), FileError);
}

}  // namespace
}  // namespace kv2pelmo
