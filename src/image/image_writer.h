// Lays valid blocks out as a flat flash image, padded and aligned with 0xFF.
#ifndef KV2PELMO_IMAGE_IMAGE_WRITER_H_
#define KV2PELMO_IMAGE_IMAGE_WRITER_H_

#include <cstdint>
#include <optional>
#include <string>

#include "blockfile/block_reader.h"
#include "platform/stream.h"

namespace kv2pelmo {

/// The unit the image is rounded up to, and the largest piece of fill written at once.
constexpr std::uint64_t PadUnit = 65536;
/// The byte that pads the image.
constexpr std::uint8_t FillByte = 0xFF;
/// The name of the image while it is being written.
constexpr const char* TemporaryImageName = "tempdct3.tmp";

/// What the image holds, as told by its first block.
enum class ImageKind { kMcu, kPpm };

/// Writes blocks into the image stream at their address minus the base address.
class ImageWriter {
 public:
  /// Borrows the image stream and the block buffer (the fill source).
  ImageWriter(Stream& image, BlockBuffer& buffer) : image_(image), buffer_(buffer) {}

  /// Writes length bytes of data at address minus the base address; the first
  /// block sets the base address. Returns false, writing nothing, when address
  /// lies below the base address. Throws FileError("Stream write error").
  bool PlaceBlock(std::int32_t address, const std::uint8_t* data, std::int32_t length);

  /// Rounds the image up to whole PadUnits with 0xFF and, given an alignator,
  /// extends it with 0xFF up to the alignator's first address. Throws
  /// FileError when the alignator cannot be opened or read, or a write fails.
  void Finish(const std::optional<std::string>& alignator_path);

  /// Returns the first block's address, or -1 before any block.
  std::int32_t BaseAddress() const { return base_address_; }
  /// Returns the kind of image: PPM once a block at offset 0 carries the mark.
  ImageKind Kind() const { return kind_; }
  /// Returns data byte 40 of the last PPM-marked block, or 0 when it had none.
  std::uint8_t VariantLetter() const { return variant_letter_; }

 private:
  void NotePpmMark(const std::uint8_t* data, std::int32_t length);
  void WriteFill(std::uint64_t count);

  Stream& image_;
  BlockBuffer& buffer_;
  std::int32_t base_address_ = -1;
  ImageKind kind_ = ImageKind::kMcu;
  std::uint8_t variant_letter_ = 0;
  // Where the last block ended: the next one usually starts there, and then
  // needs no seek.
  std::uint64_t next_offset_ = 0;
};

/// Returns the Address of the first header of the file at path, checking
/// nothing else of it. Throws FileError when it cannot be opened or read.
std::int32_t ReadAlignatorAddress(const std::string& path);

}  // namespace kv2pelmo

#endif  // KV2PELMO_IMAGE_IMAGE_WRITER_H_
