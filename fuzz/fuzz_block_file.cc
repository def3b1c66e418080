// Fuzzes the conversion: any block file, with any short alignator, gives either
// exactly the image a plain model of the format predicts, or the refusal of
// the kind and at the offset the model predicts, or a failure of the file
// layer where the model finds a file cut short. An alignator counts only with
// a valid first header. The first input byte chooses the alignator: with its
// top bit set, its low four bits give the alignator's length and those bytes
// follow. Its bits 4 to 6 choose how many bytes the block file hands out per read.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "blockfile/block_reader.h"
#include "image/conversion.h"
#include "io/image_stream.h"
#include "io/input_stream.h"
#include "io/memory_file.h"

namespace kv2pelmo {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct ModelResult {
  Bytes image;
  std::int64_t base = -1;
  bool ppm = false;
  std::uint8_t variant = 0;
};

struct ModelBlock {
  std::int64_t offset;
  const std::uint8_t* data;
  std::size_t length;
};

// What the model predicts short of an image: a refusal of that kind at that
// offset, or a failure of the file layer (a file cut short).
struct ModelStop {
  bool file_error = false;
  Refusal::Kind kind = Refusal::Kind::kNoBlocks;
  std::uint64_t offset = 0;
};

// Returns the refusal a header's own checks give, if any.
std::optional<ModelStop> HeaderStop(const std::uint8_t* h, std::size_t at, Refusal::Kind bad_id,
                                    Refusal::Kind bad_sum) {
  unsigned header_sum = 0;
  for (int i = 1; i <= 7; ++i) header_sum += h[i];
  if (h[0] != 0x0B) return ModelStop{false, bad_id, at};
  if (static_cast<std::uint8_t>(~header_sum) != h[8]) return ModelStop{false, bad_sum, at};
  return std::nullopt;
}

// Walks the records the plain way into blocks; returns where it must stop.
std::optional<ModelStop> ModelBlocks(const Bytes& file, std::int64_t& base,
                                     std::vector<ModelBlock>& blocks) {
  using Kind = Refusal::Kind;
  for (std::size_t at = 0; at < file.size();) {
    if (file.size() - at < 9) return ModelStop{true, Refusal::Kind::kNoBlocks, at};
    const std::uint8_t* h = file.data() + at;
    if (auto stop = HeaderStop(h, at, Kind::kBadId, Kind::kBadHeaderChecksum)) return stop;
    const std::int64_t address = (h[1] << 16) | (h[2] << 8) | h[3];
    const std::size_t length = static_cast<std::size_t>((h[5] << 16) | (h[6] << 8) | h[7]);
    if (file.size() - at - 9 < length) return ModelStop{true, Refusal::Kind::kNoBlocks, at};
    std::uint8_t data_sum = 0;
    for (std::size_t i = 0; i < length; ++i)
      data_sum = static_cast<std::uint8_t>(data_sum - h[9 + i]);
    if (data_sum != h[4]) return ModelStop{false, Kind::kBadDataChecksum, at};
    if (base < 0) base = address;
    if (address < base) return ModelStop{false, Kind::kBelowImageStart, at};
    blocks.push_back({address - base, h + 9, length});
    at += 9 + length;
  }
  if (blocks.empty()) return ModelStop{false, Kind::kNoBlocks, 0};
  const bool any_data = std::any_of(blocks.begin(), blocks.end(),
                                    [](const ModelBlock& block) { return block.length > 0; });
  if (!any_data) return ModelStop{false, Kind::kNoData, 0};
  return std::nullopt;
}

// Predicts the image, or fills stop.
ModelResult Model(const Bytes& file, const std::optional<Bytes>& alignator,
                  std::optional<ModelStop>& stop) {
  ModelResult result;
  std::vector<ModelBlock> blocks;
  stop = ModelBlocks(file, result.base, blocks);
  if (stop) return result;
  std::optional<std::int64_t> align_to;
  if (alignator) {
    if (alignator->size() < 9) {
      stop = ModelStop{true};
      return result;
    }
    const std::uint8_t* h = alignator->data();
    stop = HeaderStop(h, 0, Refusal::Kind::kAlignatorBadId,
                      Refusal::Kind::kAlignatorBadHeaderChecksum);
    if (stop) return result;
    align_to = (h[1] << 16) | (h[2] << 8) | h[3];
  }
  std::int64_t end = 0;  // the furthest offset a block reaches, empty ones too
  for (const ModelBlock& block : blocks) {
    end = std::max(end, block.offset + static_cast<std::int64_t>(block.length));
  }
  std::int64_t size = (end + 65535) / 65536 * 65536;
  if (align_to) size = std::max(size, *align_to - result.base);
  result.image.assign(static_cast<std::size_t>(size), 0xFF);
  std::fill_n(result.image.begin(), end, 0x00);
  for (const ModelBlock& block : blocks) {
    if (block.length > 0)
      std::copy_n(block.data, block.length, result.image.begin() + block.offset);
    if (block.offset == 0 && block.length >= 3 && block.data[0] == 'P' && block.data[1] == 'P' &&
        block.data[2] == 'M') {
      result.ppm = true;
      result.variant = block.length > 40 ? block.data[40] : 0;
    }
  }
  return result;
}

void Check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

// Read sizes around a header's nine bytes, and one without a limit.
constexpr std::size_t kReadLimits[] = {SIZE_MAX, 1, 4, 8, 9, 10, 13, 33};

// One fuzz input taken apart: the block file and the alignator, if any.
struct FuzzCase {
  Bytes file;
  std::size_t read_limit = SIZE_MAX;
  std::optional<Bytes> alignator;
};

FuzzCase TakeApart(const std::uint8_t* data, std::size_t size) {
  FuzzCase input;
  input.read_limit = kReadLimits[(data[0] >> 4) & 0x07];
  std::size_t at = 1;
  if (data[0] & 0x80) {
    const std::size_t length = std::min<std::size_t>(data[0] & 0x0F, size - 1);
    input.alignator = Bytes(data + 1, data + 1 + length);
    at += length;
  }
  input.file.assign(data + at, data + size);
  return input;
}

void CheckImage(const ImageFacts& finished, const Bytes& bytes, const ModelResult& model) {
  Check(bytes == model.image, "every block's bytes are at their offset, the rest as predicted");
  Check(finished.base_address == model.base, "the base address is the first block's");
  Check((finished.kind == ImageKind::kPpm) == model.ppm, "the kind is told by the first block");
  Check(!model.ppm || finished.variant_letter == model.variant, "the variant is its byte 40");
}

}  // namespace
}  // namespace kv2pelmo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kv2pelmo;
  if (size == 0) return 0;
  const FuzzCase input = TakeApart(data, size);

  // The program's streams, over memory instead of files.
  Bytes file = input.file;
  Bytes image_bytes;
  InputStream source(std::make_unique<MemoryFile>(file, input.read_limit), "fw.480");
  ImageStream image(std::make_unique<MemoryFile>(image_bytes), "tempdct3.tmp");
  const auto read_alignator = [&input]() -> std::optional<ReadResult> {
    if (!input.alignator) return std::nullopt;
    Bytes alignator_bytes = *input.alignator;
    InputStream alignator(std::make_unique<MemoryFile>(alignator_bytes), "fw.48g");
    return ReadFirstHeader(alignator);
  };
  std::optional<std::variant<ImageFacts, Refusal>> converted;
  std::uint64_t cut_record = 0;
  try {
    Conversion conversion(source, image);
    const std::optional<Refusal> refusal = conversion.PlaceBlocksAndRound();
    converted = refusal ? std::variant<ImageFacts, Refusal>(*refusal)
                        : conversion.AlignAndRelease(read_alignator());
    image.Flush();
  } catch (const RecordCutShort& error) {  // any other failure escapes: a finding
    cut_record = error.record_offset();
  }

  std::optional<ModelStop> stop;
  const ModelResult model = Model(input.file, input.alignator, stop);
  if (stop && stop->file_error) {
    Check(!converted, "a file cut short is a failure of the file layer");
    Check(cut_record == stop->offset, "it names the record the file ends in");
  } else if (stop) {
    const Refusal* refusal = converted ? std::get_if<Refusal>(&*converted) : nullptr;
    Check(refusal != nullptr, "a file the model refuses is refused");
    Check(refusal->kind == stop->kind, "the refusal is of the kind the model predicts");
    Check(refusal->offset == stop->offset, "the refusal names the record the model stops at");
  } else {
    const ImageFacts* finished = converted ? std::get_if<ImageFacts>(&*converted) : nullptr;
    Check(finished != nullptr, "an image exists exactly for a fully valid file");
    CheckImage(*finished, image_bytes, model);
  }
  return 0;
}
