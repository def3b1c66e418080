// Converting one block file into its image: the finished image, or why it was refused.
#ifndef KV2PELMO_IMAGE_CONVERSION_H_
#define KV2PELMO_IMAGE_CONVERSION_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

#include "blockfile/block_reader.h"
#include "image/block_map.h"
#include "image/image_writer.h"
#include "platform/image_stream.h"
#include "platform/input_stream.h"

namespace kv2pelmo {

/// What a finished image's name is made of.
struct FinishedImage {
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

/// Reads and checks the alignator's first header, once the image is rounded;
/// returns nothing when there is no alignator. Throws FileError.
using AlignatorReader = std::function<std::optional<ReadResult>()>;

/// Converts the records of input into image, rounded and then aligned to the
/// address of the header read_alignator() gives; closes input. With a map,
/// the image is described, not kept: every block is noted in map, and the
/// fill only measured (see ImageWriter::MeasureFillOnly). Returns what names
/// the image, or the first refusal. Throws FileError when the file layer fails.
std::variant<FinishedImage, Refusal> Convert(InputStream& input, ImageStream& image,
                                             const AlignatorReader& read_alignator,
                                             BlockMap* map = nullptr);

}  // namespace kv2pelmo

#endif  // KV2PELMO_IMAGE_CONVERSION_H_
