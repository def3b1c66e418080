// The conversion's sequence: every block placed, the image rounded, then aligned.
#include "image/conversion.h"

#include <algorithm>

namespace kv2pelmo {
namespace {

using Kind = Refusal::Kind;

Refusal RefusalOf(const ReadResult& result, Kind bad_id, Kind bad_header_checksum) {
  Refusal refusal{result.kind == ReadResult::Kind::kBadId               ? bad_id
                  : result.kind == ReadResult::Kind::kBadHeaderChecksum ? bad_header_checksum
                                                                        : Kind::kBadDataChecksum};
  refusal.offset = result.offset;
  refusal.calculated = result.calculated;
  refusal.stored = result.stored;
  return refusal;
}

Refusal BelowImageStart(const ReadResult& result, std::int32_t base_address) {
  Refusal refusal{Kind::kBelowImageStart};
  refusal.offset = result.offset;
  refusal.address = result.address;
  refusal.base_address = base_address;
  return refusal;
}

// Places the pieces after the first of a record longer than the block
// buffer; should its checksum fail at the last, the image holds the pieces
// before it. Returns the refusal, nothing when none.
std::optional<Refusal> PlaceOtherPieces(BlockReader& reader, ImageWriter& writer,
                                        std::int64_t remaining) {
  while (remaining > 0) {
    const ReadResult piece = reader.NextPiece();
    if (piece.kind != ReadResult::Kind::kBlock) return RefusalOf(piece, Kind::kBadId, Kind::kBadId);
    writer.PlaceNextPiece(piece.data, piece.piece_length);
    remaining -= piece.piece_length;
  }
  return std::nullopt;
}

// Places every block; returns what stopped it, nothing when no record did.
std::optional<Refusal> PlaceAllBlocks(BlockReader& reader, ImageWriter& writer, BlockMap* map) {
  bool any_block = false;
  std::int32_t lengths = 0;  // every length or'ed: zero when no record holds data
  for (;;) {
    ReadResult result = reader.Next();  // not const: GCC keeps a const one in memory
    if (result.kind != ReadResult::Kind::kBlock) {
      if (result.kind == ReadResult::Kind::kEndOfFile) break;
      return RefusalOf(result, Kind::kBadId, Kind::kBadHeaderChecksum);
    }
    if (!writer.PlaceBlock(result.address, result.data, result.piece_length)) {
      return BelowImageStart(result, writer.BaseAddress());
    }
    if (result.piece_length != result.length) {
      const std::optional<Refusal> refusal =
          PlaceOtherPieces(reader, writer, result.length - result.piece_length);
      if (refusal) return refusal;
    }
    if (map != nullptr) map->Add(result.address, result.length);
    any_block = true;
    lengths |= result.length;
  }
  if (!any_block) return Refusal{Kind::kNoBlocks};
  // Nothing of the flash would be in the image: nothing to flash from it.
  if (lengths == 0) return Refusal{Kind::kNoData};
  return std::nullopt;
}

}  // namespace

Conversion::Conversion(InputStream& input, ImageStream& image)
    : input_(input), buffer_(BlockBufferSize), reader_(input, buffer_), writer_(image, buffer_) {}

std::optional<Refusal> Conversion::PlaceBlocksAndRound(BlockMap* map) {
  // Described, the image keeps nothing: its fill would cost more than
  // reading a small file (0.26 of 0.54 million instructions for the
  // example pair), for no more than its size.
  if (map != nullptr) writer_.MeasureFillOnly();
  if (std::optional<Refusal> refusal = PlaceAllBlocks(reader_, writer_, map)) return refusal;
  // Rounded before the alignator is read, so that an image left behind by
  // a bad or short alignator is whole units.
  writer_.Finish();
  return std::nullopt;
}

std::variant<ImageFacts, Refusal> Conversion::AlignAndRelease(
    const std::optional<ReadResult>& alignator_header) {
  bool alignator_below_end = false;
  if (alignator_header) {
    if (alignator_header->kind != ReadResult::Kind::kBlock) {
      return RefusalOf(*alignator_header, Kind::kAlignatorBadId, Kind::kAlignatorBadHeaderChecksum);
    }
    alignator_below_end = !writer_.AlignTo(alignator_header->address);
  }
  // The buffer goes before the streams, as the run's resources are released
  // in a fixed order: buffer, input, image; the image is closed once named.
  BlockBuffer().swap(buffer_);
  input_.Close();
  return ImageFacts{writer_.BaseAddress(), writer_.Kind(), writer_.VariantLetter(),
                    alignator_below_end};
}

}  // namespace kv2pelmo
