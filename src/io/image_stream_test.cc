// The image stream over an in-memory file: what reaches the file, and when.
#include "io/image_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "record_builder.h"
#include "watched_file.h"

namespace kv2pelmo {
namespace {

using test::Bytes;
using test::Counting;
using test::Join;
using test::Repeat;
using Image = test::Fixture<ImageStream>;

// Every size of a record's transfer must move exactly its own bytes, no
// more, and contiguous writes reach the file together.
TEST(ImageStreamTest, SmallWritesOfEverySizeAreExactAndGathered) {
  const Bytes bytes = test::EverySizeUpTo(80);
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
}

TEST(ImageStreamTest, SeeksPlaceWritesAndSkippedBytesStayZero) {
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
TEST(ImageStreamTest, HoppingWritesLandAsIfWrittenInOrder) {
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
TEST(ImageStreamTest, FailedWriteSurfacesAtCloseOnce) {
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
