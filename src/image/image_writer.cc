// Block placement, PPM detection, 64 KiB rounding and alignment.
#include "image/image_writer.h"

#include <algorithm>
#include <cassert>

namespace kv2pelmo {
namespace {

constexpr std::int32_t kVariantOffset = 40;

}  // namespace

bool ImageWriter::PlaceBlock(std::int32_t address, const std::uint8_t* data, std::int32_t length) {
  if (base_address_ < 0) base_address_ = address;
  if (address < base_address_) return false;
  const auto offset = static_cast<std::uint64_t>(address - base_address_);
  if (length == 0) {
    ExtendWithZerosTo(offset);
    return true;
  }
  image_.Seek(offset);
  if (offset == 0) NotePpmMark(data, length);
  image_.WriteExactly(data, static_cast<std::size_t>(length));
  return true;
}

void ImageWriter::PlaceNextPiece(const std::uint8_t* data, std::int32_t length) {
  image_.WriteExactly(data, static_cast<std::size_t>(length));
}

// An empty block still marks its offset as reached: the image holds 0x00 up
// to there, as the blocks' ascending order and the fill after them imply.
// Never a byte that a block wrote: only the image's end moves.
void ImageWriter::ExtendWithZerosTo(std::uint64_t offset) {
  if (offset <= image_.Size()) return;
  constexpr std::uint8_t kZero = 0;
  image_.Seek(offset - 1);
  image_.WriteExactly(&kZero, 1);
}

// Only bytes the block really holds count: never what the buffer kept from
// an earlier, longer block.
void ImageWriter::NotePpmMark(const std::uint8_t* data, std::int32_t length) {
  if (length < 3 || data[0] != 'P' || data[1] != 'P' || data[2] != 'M') return;
  kind_ = ImageKind::kPpm;
  variant_letter_ = length > kVariantOffset ? data[kVariantOffset] : 0;
}

void ImageWriter::Finish() {
  if (!measure_fill_only_) std::fill_n(buffer_.begin(), PadUnit, kFillByte);
  // Measured from the image's end, not from the last block written, so that
  // blocks out of address order never have their bytes overwritten by fill.
  const std::uint64_t end = image_.Size();
  image_.Seek(end);
  if (end % PadUnit != 0) WriteFill(PadUnit - end % PadUnit);
}

bool ImageWriter::AlignTo(std::int32_t address) {
  const std::uint64_t end = image_.Size();
  const std::int64_t target = std::int64_t{address} - base_address_;
  if (target > static_cast<std::int64_t>(end)) {
    image_.Seek(end);
    WriteFill(static_cast<std::uint64_t>(target) - end);
  }
  return target >= static_cast<std::int64_t>(end);
}

void ImageWriter::WriteFill(std::uint64_t count) {
  if (measure_fill_only_) {
    image_.Seek(image_.Position() + count - 1);
    image_.WriteExactly(&kFillByte, 1);
    return;
  }
  assert(buffer_.size() >= PadUnit);
  while (count > 0) {
    const std::uint64_t piece = std::min(count, PadUnit);
    image_.WriteExactly(buffer_.data(), static_cast<std::size_t>(piece));
    count -= piece;
  }
}

}  // namespace kv2pelmo
