// The block map: one open stretch, a table of the closed ones, a bitmap when they are many.
#include "image/block_map.h"

#include <algorithm>
#include <new>

namespace kv2pelmo {
namespace {

// A record's address and its length have 24 bits each: it ends below 2^25.
constexpr std::int64_t kAddresses = std::int64_t{1} << 25;
constexpr std::int64_t kWords = kAddresses / 64;
constexpr std::int64_t kSummaryWords = kWords / 64;

constexpr std::uint64_t kOnes = ~std::uint64_t{0};

// Sets bits [start, end) of words, whole words at once.
void SetBits(std::uint64_t* words, std::int64_t start, std::int64_t end) {
  const std::int64_t first = start / 64;
  const std::int64_t last = (end - 1) / 64;
  const std::uint64_t head = kOnes << (start % 64);
  const std::uint64_t tail = kOnes >> (63 - (end - 1) % 64);
  if (first == last) {
    words[first] |= head & tail;
    return;
  }
  words[first] |= head;
  std::fill(words + first + 1, words + last, kOnes);
  words[last] |= tail;
}

// The bits below bit.
std::uint64_t Below(int bit) { return (std::uint64_t{1} << bit) - 1; }

}  // namespace

void BlockMap::Add(std::int32_t address, std::int32_t length) {
  ++records_;
  if (length == 0) return;
  if (address == open_end_ && open_end_ > open_start_) {
    open_end_ += length;
    return;
  }
  Close();
  open_start_ = address;
  open_end_ = std::int64_t{address} + length;
}

// Puts the open stretch in the table; in the bitmap, with all the table
// held, once the table has no room for it.
void BlockMap::Close() {
  if (open_start_ >= open_end_) return;
  if (!bits_) {
    if (Insert(open_start_, open_end_)) return;
    // Zeroed by the system page by page as it is first touched.
    bits_.reset(
        static_cast<std::uint64_t*>(std::calloc(kWords + kSummaryWords, sizeof(std::uint64_t))));
    if (!bits_) throw std::bad_alloc();
    for (std::size_t i = 0; i < stretch_count_; ++i) {
      Mark(stretches_[i].start, stretches_[i].end);
    }
    stretch_count_ = 0;
  }
  Mark(open_start_, open_end_);
}

// Merges [start, end) into the table; returns false, changing nothing, when
// it touches no stretch there and the table is full.
bool BlockMap::Insert(std::int64_t start, std::int64_t end) {
  Stretch* const table_end = stretches_.data() + stretch_count_;
  Stretch* const first =
      std::lower_bound(stretches_.data(), table_end, start,
                       [](const Stretch& stretch, std::int64_t at) { return stretch.end < at; });
  Stretch* last = first;  // past the stretches it touches
  for (; last != table_end && last->start <= end; ++last) {
    start = std::min(start, last->start);
    end = std::max(end, last->end);
  }
  if (first == last) {
    if (stretch_count_ == kStretches) return false;
    std::move_backward(first, table_end, table_end + 1);
    ++stretch_count_;
  } else {
    std::move(last, table_end, first + 1);
    stretch_count_ -= static_cast<std::size_t>(last - first - 1);
  }
  *first = Stretch{start, end};
  return true;
}

void BlockMap::Mark(std::int64_t start, std::int64_t end) {
  SetBits(bits_.get(), start, end);
  SetBits(bits_.get() + kWords, start / 64, (end - 1) / 64 + 1);
}

void BlockMap::ForEachRange(const std::function<void(std::int64_t, std::int64_t)>& each) {
  Close();
  open_start_ = open_end_ = 0;
  if (bits_) {
    Walk(each);
    return;
  }
  for (std::size_t i = 0; i < stretch_count_; ++i) each(stretches_[i].start, stretches_[i].end);
}

// Visits only the words in use, as the summary lists them; in each, jumps
// from edge to edge.
void BlockMap::Walk(const std::function<void(std::int64_t, std::int64_t)>& each) const {
  const std::uint64_t* const summary = bits_.get() + kWords;
  std::int64_t start = -1;  // of the stretch being walked, when in one
  std::int64_t after = 0;   // the first address after the last word visited
  for (std::int64_t at = 0; at < kSummaryWords; ++at) {
    for (std::uint64_t used = summary[at]; used != 0; used &= used - 1) {
      const std::int64_t word = at * 64 + __builtin_ctzll(used);
      const std::int64_t base = word * 64;
      if (start >= 0 && base != after) {  // a word of zeros ended it
        each(start, after);
        start = -1;
      }
      std::uint64_t bits = bits_[word];
      for (;;) {
        if (start < 0) {
          if (bits == 0) break;
          const int bit = __builtin_ctzll(bits);
          start = base + bit;
          bits |= Below(bit);
        }
        if (bits == kOnes) break;
        const int bit = __builtin_ctzll(~bits);
        each(start, base + bit);
        start = -1;
        bits &= ~Below(bit);
      }
      after = base + 64;
    }
  }
  if (start >= 0) each(start, after);
}

}  // namespace kv2pelmo
