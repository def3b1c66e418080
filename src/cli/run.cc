// The run sequence and every message it prints.
#include "cli/run.h"

#include <memory>
#include <optional>

#include "blockfile/block_reader.h"
#include "cli/format.h"
#include "cli/output_namer.h"
#include "cli/version.h"
#include "image/image_writer.h"
#include "platform/file_system.h"
#include "platform/temporary_image.h"

namespace kv2pelmo {
namespace {

constexpr const char* kBanner = "Kovrel to Pelmo Converter " KV2PELMO_VERSION " by Quelm\n\n";
constexpr const char* kUsage =
    "Usage:   kv2pelmo <kv_mcu_file> [<kv_ppm_file>]\n"
    "         kv2pelmo <kv_ppm_file>\n\n"
    "Example: kv2pelmo npm5nx03.480 npm5nx03.48g\n\n";

unsigned long long Offset(const ReadResult& result) { return result.offset; }

// The messages are cold and take the result by value, so that the record
// loop keeps its result in registers rather than in memory for them.
[[gnu::cold]] std::string FailureMessage(ReadResult result) {
  switch (result.kind) {
    case ReadResult::Kind::kBadId:
      return Format("Error: Invalid block ID at 0x%06llX.\n\n", Offset(result));
    case ReadResult::Kind::kBadHeaderChecksum:
      return Format(
          "Error: Invalid block header checksum at 0x%06llX,\n"
          "       calculated = 0x%02X, read = 0x%02X.\n\n",
          Offset(result), result.calculated, result.stored);
    default:
      return Format(
          "Error: Invalid flash block checksum at 0x%06llX,\n"
          "       calculated = 0x%02X, read = 0x%02X.\n\n",
          Offset(result), result.calculated, result.stored);
  }
}

[[gnu::cold]] std::string BelowBaseMessage(ReadResult result, std::int32_t base_address) {
  return Format(
      "Error: Block address below image start at 0x%06llX,\n"
      "       address = 0x%06X, image start = 0x%06X.\n\n",
      Offset(result), static_cast<unsigned>(result.address), static_cast<unsigned>(base_address));
}

// Places every block; returns the message that stopped it, empty when none.
std::string PlaceAllBlocks(BlockReader& reader, ImageWriter& writer) {
  bool any_block = false;
  for (;;) {
    const ReadResult result = reader.Next();
    if (result.kind == ReadResult::Kind::kEndOfFile) break;
    if (result.kind != ReadResult::Kind::kBlock) return FailureMessage(result);
    if (!writer.PlaceBlock(result.address, result.data, result.length)) {
      return BelowBaseMessage(result, writer.BaseAddress());
    }
    any_block = true;
  }
  return any_block ? std::string() : "Error: Input file holds no blocks.\n\n";
}

std::optional<std::int32_t> ReadAlignAddress(const std::optional<std::string>& alignator_path) {
  if (!alignator_path) return std::nullopt;
  std::unique_ptr<BufferedStream> alignator = OpenForReading(*alignator_path);
  const std::int32_t address = ReadFirstAddress(*alignator);
  alignator->Close();
  return address;
}

// Converts and names the image; nothing is left open when it returns or
// throws. The image stays held until it has its final name.
int ConvertAndHandOver(const std::string& input_path,
                       const std::optional<std::string>& alignator_path, std::ostream& out) {
  std::unique_ptr<BufferedStream> input = OpenForReading(input_path);
  std::vector<std::string> keep{input_path};
  if (alignator_path) keep.push_back(*alignator_path);
  std::unique_ptr<TemporaryImage> image = TemporaryImage::Create(kTemporaryImageName, keep);
  const std::optional<FinishedImage> finished = ConvertStreams(
      *input, image->Stream(), [&alignator_path] { return ReadAlignAddress(alignator_path); }, out);
  if (!finished) return kExitRefused;
  OutputNamer namer(out);
  namer.HandOver(*image, OutputNamer::MakeOutputName(input_path, finished->base_address,
                                                     finished->kind, finished->variant_letter));
  return kExitConverted;
}

}  // namespace

std::optional<FinishedImage> ConvertStreams(BufferedStream& input, BufferedStream& image,
                                            const AlignAddress& align_address, std::ostream& out) {
  BlockBuffer buffer(BlockBufferSize);
  BlockReader reader(input, buffer);
  ImageWriter writer(image, buffer);
  const std::string failure = PlaceAllBlocks(reader, writer);
  if (!failure.empty()) {
    out << failure;
    return std::nullopt;
  }
  writer.Finish(align_address());
  // The buffer goes before the streams, as the run's resources are released
  // in a fixed order: buffer, input, image. The image is flushed here, so
  // that its failures come before it is named, and closed once named.
  BlockBuffer().swap(buffer);
  input.Close();
  image.Flush();
  return FinishedImage{writer.BaseAddress(), writer.Kind(), writer.VariantLetter()};
}

std::string FileErrorMessage(const FileError& error) {
  const char* path = error.path().c_str();
  switch (error.kind()) {
    case FileError::Kind::kOpen:
      return Format("Error: Cannot open file %s.\n\n", path);
    case FileError::Kind::kCreate:
      return Format("Error: Cannot create file %s.\n\n", path);
    case FileError::Kind::kRead:
      return "Error: Stream read error.\n\n";
    case FileError::Kind::kWrite:
      return "Error: Stream write error.\n\n";
    case FileError::Kind::kRename:
      return Format("Error: Cannot rename %s to %s.\n\n", path, error.target().c_str());
  }
  return "Error: Stream error.\n\n";
}

int Run(const std::vector<std::string>& args, std::ostream& out) {
  out << kBanner;
  if (args.empty() || args.size() > 2) {
    out << kUsage;
    return kExitRefused;
  }
  const std::string& input_path = args[0];
  std::optional<std::string> alignator_path;
  if (args.size() == 2) alignator_path = args[1];

  if (!FileExists(input_path)) {
    out << "Error: Input file does not exist.\n\n";
    return kExitRefused;
  }
  if (alignator_path && !FileExists(*alignator_path)) {
    out << "Error: Alignator file does not exist.\n\n";
    return kExitRefused;
  }
  return ConvertAndHandOver(input_path, alignator_path, out);
}

}  // namespace kv2pelmo
