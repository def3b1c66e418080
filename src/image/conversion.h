// Converting one block file into its image: the finished image, or why it was refused.
#ifndef KV2PELMO_IMAGE_CONVERSION_H_
#define KV2PELMO_IMAGE_CONVERSION_H_

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "blockfile/block_reader.h"
#include "image/block_map.h"
#include "image/image_writer.h"
#include "io/image_stream.h"
#include "io/input_stream.h"

namespace kv2pelmo {

/// What a finished image's name is made of.
struct ImageFacts {
  std::int32_t base_address;
  ImageKind kind;
  std::uint8_t variant_letter;
  /// The alignator begins below the image's end, so nothing was added: the
  /// two files were given the other way round, or do not belong together.
  bool alignator_below_end = false;
};

/// Why a block file, or its alignator, was refused; the program words it.
struct Refusal {
  enum class Kind {
    kBadId,
    kBadHeaderChecksum,
    kBadDataChecksum,
    kBelowImageStart,
    kNoBlocks,
    kNoData,
    kAlignatorBadId,
    kAlignatorBadHeaderChecksum,
  };
  Kind kind;
  /// The file offset of the record that failed (of the alignator's header: 0).
  std::uint64_t offset = 0;
  /// For the checksum kinds: the checksum computed and the one stored.
  std::uint8_t calculated = 0;
  std::uint8_t stored = 0;
  /// For kBelowImageStart: the record's address and the image's start.
  std::int32_t address = 0;
  std::int32_t base_address = 0;
};

/// One block file's conversion, in two steps: the program reads the
/// alignator's first header between them, so that the image is whole units
/// before the alignator is looked at, and no bad block is hidden behind a bad
/// alignator.
class Conversion {
 public:
  /// Reads records from input and writes the image into image; both stay
  /// the caller's.
  Conversion(InputStream& input, ImageStream& image);

  /// Places every block, then rounds the image up to whole units. With a
  /// map, the image is described, not kept: every block is noted in map,
  /// and the fill only measured (see ImageWriter::MeasureFillOnly). Returns the first refusal, or
  /// nothing. Throws FileError when the file layer fails.
  std::optional<Refusal> PlaceBlocksAndRound(BlockMap* map = nullptr);

  /// After PlaceBlocksAndRound: pads the image up to the address of alignator_header,
  /// when there is one; releases the block buffer and closes the input.
  /// Returns what names the image, or the refusal of the header.
  std::variant<ImageFacts, Refusal> AlignAndRelease(
      const std::optional<ReadResult>& alignator_header);

 private:
  InputStream& input_;
  BlockBuffer buffer_;
  BlockReader reader_;
  ImageWriter writer_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_IMAGE_CONVERSION_H_
