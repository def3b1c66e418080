// The block map: one open stretch, and a bitmap for the others.
#include "image/block_map.h"

#include <algorithm>
#include <new>

namespace kv2pelmo {
namespace {

// A record's address and its length have 24 bits each: it ends below 2^25.
constexpr std::int64_t kAddresses = std::int64_t{1} << 25;
constexpr std::int64_t kWords = kAddresses / 64;

}  // namespace

void BlockMap::Add(std::int32_t address, std::int32_t length) {
  ++records_;
  if (length == 0) return;
  if (address == open_end_ && open_end_ > open_start_) {
    open_end_ += length;
    return;
  }
  Mark(open_start_, open_end_);
  open_start_ = address;
  open_end_ = std::int64_t{address} + length;
}

void BlockMap::Mark(std::int64_t start, std::int64_t end) {
  if (start >= end) return;
  if (!bits_) {
    // Zeroed by the system page by page as it is first touched.
    bits_.reset(static_cast<std::uint64_t*>(std::calloc(kWords, sizeof(std::uint64_t))));
    if (!bits_) throw std::bad_alloc();
  }
  for (std::int64_t at = start; at < end;) {
    const int bit = static_cast<int>(at % 64);
    const std::int64_t span = std::min<std::int64_t>(64 - bit, end - at);
    const std::uint64_t ones = span == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << span) - 1;
    bits_[at / 64] |= ones << bit;
    at += span;
  }
}

void BlockMap::ForEachRange(const std::function<void(std::int64_t, std::int64_t)>& each) {
  Mark(open_start_, open_end_);
  open_start_ = open_end_ = 0;
  if (!bits_) return;
  std::int64_t start = -1;  // of the stretch being walked, when in one
  for (std::int64_t word = 0; word < kWords; ++word) {
    const std::uint64_t bits = bits_[word];
    if (bits == (start < 0 ? 0 : ~std::uint64_t{0})) continue;  // no edge in it
    for (int bit = 0; bit < 64; ++bit) {
      const bool set = ((bits >> bit) & 1) != 0;
      if (set == (start >= 0)) continue;
      const std::int64_t at = word * 64 + bit;
      if (set) {
        start = at;
      } else {
        each(start, at);
        start = -1;
      }
    }
  }
  if (start >= 0) each(start, kAddresses);
}

}  // namespace kv2pelmo
