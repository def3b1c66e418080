// The input stream over an in-memory file: reads of every size, in order, and the end.
#include "io/input_stream.h"

#include <gtest/gtest.h>

#include "record_builder.h"
#include "watched_file.h"

namespace kv2pelmo {
namespace {

using test::Bytes;
using test::Counting;
using Input = test::Fixture<InputStream>;

TEST(InputStreamTest, ReadsComeBackInOrderWhateverTheirSize) {
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

// Every size of a record's transfer must move exactly its own bytes, no more.
TEST(InputStreamTest, SmallReadsOfEverySizeAreExact) {
  const Bytes bytes = test::EverySizeUpTo(80);
  Input in(bytes);
  std::size_t at = 0;
  Bytes got(bytes.size() + 16, 0xEE);
  for (std::size_t size = 0; size <= 80; at += size, ++size) {
    in.stream->ReadExactly(got.data() + at, size);
    ASSERT_EQ(got[at + size], 0xEE) << "a read of " << size << " bytes wrote past its end";
  }
  got.resize(bytes.size());
  EXPECT_EQ(got, bytes);
}

}  // namespace
}  // namespace kv2pelmo
