// The run sequence and every message it prints.
#include "cli/run.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>

#include "blockfile/block_reader.h"
#include "cli/format.h"
#include "cli/output_namer.h"
#include "cli/version.h"
#include "image/image_writer.h"
#include "platform/file_system.h"
#include "platform/memory_file.h"
#include "platform/temporary_image.h"

namespace kv2pelmo {
namespace {

constexpr const char* kBanner = "Kovrel to Pelmo Converter " KV2PELMO_VERSION " by Quelm\n\n";
constexpr const char* kUsage =
    "Usage:   kv2pelmo <kv_mcu_file> [<kv_ppm_file>]\n"
    "         kv2pelmo <kv_ppm_file>\n\n"
    "Example: kv2pelmo npm5nx03.480 npm5nx03.48g\n\n";
constexpr const char* kOptions =
    "Options, each first on the command line:\n"
    "  --info <kv_file> [<kv_ppm_file>]  check and describe a block file; writes nothing\n"
    "  --help, -h                        show this text\n"
    "  --version                         show the version\n"
    "A file whose name starts with '-' is given as ./-name.\n\n";

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

[[gnu::cold]] std::string AlignatorFailureMessage(const ReadResult& header) {
  if (header.kind == ReadResult::Kind::kBadId) {
    return Format("Error: Invalid block ID in alignator file at 0x%06llX.\n\n", Offset(header));
  }
  return Format(
      "Error: Invalid block header checksum in alignator file at 0x%06llX,\n"
      "       calculated = 0x%02X, read = 0x%02X.\n\n",
      Offset(header), header.calculated, header.stored);
}

// Places every block; returns the message that stopped it, empty when none.
std::string PlaceAllBlocks(BlockReader& reader, ImageWriter& writer, BlockMap* map) {
  bool any_block = false;
  for (;;) {
    const ReadResult result = reader.Next();
    if (result.kind == ReadResult::Kind::kEndOfFile) break;
    if (result.kind != ReadResult::Kind::kBlock) return FailureMessage(result);
    if (!writer.PlaceBlock(result.address, result.data, result.length)) {
      return BelowBaseMessage(result, writer.BaseAddress());
    }
    if (map != nullptr) map->Add(result.address, result.length);
    any_block = true;
  }
  return any_block ? std::string() : "Error: Input file holds no blocks.\n\n";
}

std::optional<ReadResult> ReadAlignatorHeader(const std::optional<std::string>& alignator_path) {
  if (!alignator_path) return std::nullopt;
  std::unique_ptr<InputStream> alignator = OpenForReading(*alignator_path);
  const ReadResult header = ReadFirstHeader(*alignator);
  alignator->Close();
  return header;
}

// Converts and names the image; nothing is left open when it returns or
// throws. The image stays held until it has its final name.
int ConvertAndHandOver(const std::string& input_path,
                       const std::optional<std::string>& alignator_path, std::ostream& out) {
  std::unique_ptr<InputStream> input = OpenForReading(input_path);
  std::vector<std::string> keep{input_path};
  if (alignator_path) keep.push_back(*alignator_path);
  // Standard error, so that the output of a run that waited stays the same.
  std::unique_ptr<TemporaryImage> image = TemporaryImage::Create(kTemporaryImageName, keep, [] {
    std::cerr << "kv2pelmo: waiting for another program to release " << kTemporaryImageName
              << std::endl;
  });
  const std::optional<FinishedImage> finished = ConvertStreams(
      *input, image->Stream(), [&alignator_path] { return ReadAlignatorHeader(alignator_path); },
      out);
  if (!finished) return kExitRefused;
  OutputNamer namer(out);
  namer.HandOver(*image, OutputNamer::MakeOutputName(input_path, finished->base_address,
                                                     finished->kind, finished->variant_letter));
  return kExitConverted;
}

std::string InfoText(const std::string& input_path, const FinishedImage& image, const BlockMap& map,
                     std::uint64_t image_size) {
  const auto hex = [](std::int64_t value) { return static_cast<unsigned long long>(value); };
  std::string text = image.kind == ImageKind::kPpm
                         ? Format("Image kind: PPM\nVariant letter: 0x%02X\n", image.variant_letter)
                         : "Image kind: MCU\n";
  text += Format("Base address: 0x%06llX\nRecords: %llu\n", hex(image.base_address),
                 static_cast<unsigned long long>(map.records));
  for (const auto& [start, end] : map.ranges) {
    text += Format("Range: 0x%06llX to 0x%06llX, %llu bytes\n", hex(start), hex(end - 1),
                   hex(end - start));
  }
  text += Format("Image size: %llu bytes\n", hex(static_cast<std::int64_t>(image_size)));
  return text + "Output name: " +
         OutputNamer::MakeOutputName(input_path, image.base_address, image.kind,
                                     image.variant_letter) +
         "\n\n";
}

// Reads and checks as a conversion does, into an image that keeps nothing.
int Describe(const std::string& input_path, const std::optional<std::string>& alignator_path,
             std::ostream& out) {
  std::unique_ptr<InputStream> input = OpenForReading(input_path);
  ImageStream image(std::make_unique<DiscardingFile>(), kTemporaryImageName);
  BlockMap map;
  const std::optional<FinishedImage> finished = ConvertStreams(
      *input, image, [&alignator_path] { return ReadAlignatorHeader(alignator_path); }, out,
      &map);
  if (!finished) return kExitRefused;
  map.Merge();
  out << InfoText(input_path, *finished, map, image.Size());
  return kExitConverted;
}

}  // namespace

void BlockMap::Add(std::int32_t address, std::int32_t length) {
  ++records;
  if (length == 0) return;
  // Blocks mostly follow one another: then one range grows, however many.
  if (!ranges.empty() && ranges.back().second == address) {
    ranges.back().second += length;
  } else {
    ranges.emplace_back(address, std::int64_t{address} + length);
  }
}

void BlockMap::Merge() {
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<std::int64_t, std::int64_t>> merged;
  for (const auto& range : ranges) {
    if (!merged.empty() && range.first <= merged.back().second) {
      merged.back().second = std::max(merged.back().second, range.second);
    } else {
      merged.push_back(range);
    }
  }
  ranges = std::move(merged);
}

bool WaitBeforeClosing(const ConsoleFacts& facts) {
  return facts.processes == 1 && facts.input_is_console && facts.output_is_console;
}

std::optional<FinishedImage> ConvertStreams(InputStream& input, ImageStream& image,
                                            const AlignatorReader& read_alignator,
                                            std::ostream& out, BlockMap* map) {
  BlockBuffer buffer(BlockBufferSize);
  BlockReader reader(input, buffer);
  ImageWriter writer(image, buffer);
  const std::string failure = PlaceAllBlocks(reader, writer, map);
  if (!failure.empty()) {
    out << failure;
    return std::nullopt;
  }
  // Rounded before the alignator is read, so that an image left behind by
  // a bad or short alignator is whole units.
  writer.Finish();
  if (const std::optional<ReadResult> header = read_alignator()) {
    if (header->kind != ReadResult::Kind::kBlock) {
      out << AlignatorFailureMessage(*header);
      return std::nullopt;
    }
    writer.AlignTo(header->address);
  }
  // The buffer goes before the streams, as the run's resources are released
  // in a fixed order: buffer, input, image; the image is closed once named.
  BlockBuffer().swap(buffer);
  input.Close();
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
  const bool alone = args.size() == 1;
  if (alone && args[0] == "--version") {
    out << "kv2pelmo " KV2PELMO_VERSION "\n";
    return kExitConverted;
  }
  out << kBanner;
  if (alone && (args[0] == "--help" || args[0] == "-h")) {
    out << kUsage << kOptions;
    return kExitConverted;
  }
  const bool info = !args.empty() && args[0] == "--info";
  const std::vector<std::string> paths(args.begin() + (info ? 1 : 0), args.end());
  if (paths.empty() || paths.size() > 2) {
    out << kUsage;
    return kExitRefused;
  }
  const std::string& input_path = paths[0];
  std::optional<std::string> alignator_path;
  if (paths.size() == 2) alignator_path = paths[1];

  if (!FileExists(input_path)) {
    out << "Error: Input file does not exist.\n\n";
    return kExitRefused;
  }
  if (alignator_path && !FileExists(*alignator_path)) {
    out << "Error: Alignator file does not exist.\n\n";
    return kExitRefused;
  }
  if (info) return Describe(input_path, alignator_path, out);
  return ConvertAndHandOver(input_path, alignator_path, out);
}

}  // namespace kv2pelmo
