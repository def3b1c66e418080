// Lays valid blocks out as a flat flash image, padded and aligned with 0xFF.
#ifndef KV2PELMO_IMAGE_IMAGE_WRITER_H_
#define KV2PELMO_IMAGE_IMAGE_WRITER_H_

#include <cstdint>

#include "blockfile/block_reader.h"
#include "io/image_stream.h"

namespace kv2pelmo {

/// The unit the image is rounded up to, and the largest piece of fill written at once.
constexpr std::uint64_t PadUnit = 65536;
/// The byte that pads the image.
constexpr std::uint8_t kFillByte = 0xFF;

/// What the image holds, as told by its first block.
enum class ImageKind { kMcu, kPpm };

/// Writes blocks into the image stream at their address minus the base address.
class ImageWriter {
 public:
  /// Borrows the image stream and the block buffer (the fill source).
  ImageWriter(ImageStream& image, BlockBuffer& buffer) : image_(image), buffer_(buffer) {}

  /// Writes length bytes of data at address minus the base address; the first
  /// block sets the base address. An empty block extends the image with 0x00
  /// up to its offset when the image ends before it. Returns false, writing
  /// nothing, when address lies below the base address. Throws FileError(kWrite).
  bool PlaceBlock(std::int32_t address, const std::uint8_t* data, std::int32_t length);

  /// Writes the next piece of the block just placed, after its others.
  /// Throws FileError(kWrite).
  void PlaceNextPiece(const std::uint8_t* data, std::int32_t length);

  /// For an image that keeps nothing, only measured: Finish and AlignTo then
  /// reach the size they give by writing its last byte, not all of the fill.
  void MeasureFillOnly() { measure_fill_only_ = true; }

  /// Rounds the image up to whole PadUnits with 0xFF, after the last block.
  /// Throws FileError(kWrite).
  void Finish();

  /// After Finish: extends the image with 0xFF up to address (the
  /// alignator's first address), measured from the base address; it never
  /// shortens the image. Returns false when address lies below the image's
  /// end. Throws FileError(kWrite).
  bool AlignTo(std::int32_t address);

  /// Returns the first block's address, or -1 before any block.
  std::int32_t BaseAddress() const { return base_address_; }
  /// Returns the kind of image: PPM once a block at offset 0 carries the mark.
  ImageKind Kind() const { return kind_; }
  /// Returns data byte 40 of the last PPM-marked block, or 0 when it had none.
  std::uint8_t VariantLetter() const { return variant_letter_; }

 private:
  void ExtendWithZerosTo(std::uint64_t offset);
  void NotePpmMark(const std::uint8_t* data, std::int32_t length);
  void WriteFill(std::uint64_t count);

  ImageStream& image_;
  BlockBuffer& buffer_;
  std::int32_t base_address_ = -1;
  ImageKind kind_ = ImageKind::kMcu;
  std::uint8_t variant_letter_ = 0;
  bool measure_fill_only_ = false;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_IMAGE_IMAGE_WRITER_H_
