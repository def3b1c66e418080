// The run sequence and every message it prints.
#include "cli/run.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <ostream>

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
constexpr const char* kDeviceNames =
    "       Windows takes names such as NUL, CON, AUX and COM1 for devices,\n"
    "       whatever their extension: rename the file.\n\n";

std::optional<ReadResult> ReadAlignatorHeader(FileSystem& files,
                                              const std::optional<std::string>& alignator_path) {
  if (!alignator_path) return std::nullopt;
  std::unique_ptr<InputStream> alignator = files.OpenForReading(*alignator_path);
  const ReadResult header = ReadFirstHeader(*alignator);
  alignator->Close();
  return header;
}

// Returns the finished image, or nothing after printing why it was refused.
const FinishedImage* Finished(const std::variant<FinishedImage, Refusal>& converted,
                              std::ostream& out) {
  if (const auto* refusal = std::get_if<Refusal>(&converted)) {
    out << RefusalMessage(*refusal);
    return nullptr;
  }
  return &std::get<FinishedImage>(converted);
}

// Converts and names the image; nothing is left open when it returns or
// throws. The image stays held until it has its final name.
int ConvertAndHandOver(FileSystem& files, const std::string& input_path,
                       const std::optional<std::string>& alignator_path, std::ostream& out,
                       std::ostream& err) {
  std::unique_ptr<InputStream> input = files.OpenForReading(input_path);
  std::vector<std::string> spared{input_path};
  if (alignator_path) spared.push_back(*alignator_path);
  // Standard error, so that the output of a run that waited stays the same.
  std::unique_ptr<TemporaryImage> image =
      TemporaryImage::Create(files, kTemporaryImageName, spared, [&err] {
        err << "kv2pelmo: waiting for another program to release " << kTemporaryImageName
            << std::endl;
      });
  const std::variant<FinishedImage, Refusal> converted =
      Convert(*input, image->Stream(), [&] { return ReadAlignatorHeader(files, alignator_path); });
  const FinishedImage* finished = Finished(converted, out);
  if (finished == nullptr) return kExitRefused;
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
int DescribeImage(FileSystem& files, const std::string& input_path,
                  const std::optional<std::string>& alignator_path, std::ostream& out) {
  std::unique_ptr<InputStream> input = files.OpenForReading(input_path);
  ImageStream image(std::make_unique<DiscardingFile>(), kTemporaryImageName);
  BlockMap map;
  const std::variant<FinishedImage, Refusal> converted = Convert(
      *input, image, [&] { return ReadAlignatorHeader(files, alignator_path); }, &map);
  const FinishedImage* finished = Finished(converted, out);
  if (finished == nullptr) return kExitRefused;
  map.Merge();
  out << InfoText(input_path, *finished, map, image.Size());
  return kExitConverted;
}

}  // namespace

bool WaitBeforeClosing(const ConsoleFacts& facts) {
  return facts.processes == 1 && facts.input_is_console && facts.output_is_console;
}

std::string RefusalMessage(const Refusal& refusal) {
  using Kind = Refusal::Kind;
  const auto offset = static_cast<unsigned long long>(refusal.offset);
  const bool alignator =
      refusal.kind == Kind::kAlignatorBadId || refusal.kind == Kind::kAlignatorBadHeaderChecksum;
  const char* where = alignator ? " in alignator file" : "";
  switch (refusal.kind) {
    case Kind::kBadId:
    case Kind::kAlignatorBadId:
      return Format("Error: Invalid block ID%s at 0x%06llX.\n\n", where, offset);
    case Kind::kBelowImageStart:
      return Format(
          "Error: Block address below image start at 0x%06llX,\n"
          "       address = 0x%06X, image start = 0x%06X.\n\n",
          offset, static_cast<unsigned>(refusal.address),
          static_cast<unsigned>(refusal.base_address));
    case Kind::kNoBlocks:
      return "Error: Input file holds no blocks.\n\n";
    case Kind::kBadHeaderChecksum:
    case Kind::kBadDataChecksum:
    case Kind::kAlignatorBadHeaderChecksum:
      break;
  }
  return Format(
      "Error: Invalid %s checksum%s at 0x%06llX,\n"
      "       calculated = 0x%02X, read = 0x%02X.\n\n",
      refusal.kind == Kind::kBadDataChecksum ? "flash block" : "block header", where, offset,
      refusal.calculated, refusal.stored);
}

namespace {

// The continuation line that says why, where the file layer knows.
std::string ReasonLine(const FileError& error) {
  const char* target = error.target().c_str();
  switch (error.reason()) {
    case FileError::Reason::kNone:
      return std::string();
    case FileError::Reason::kNotRemovable:
      return "       A leftover of an earlier run is in the way, and this directory\n"
             "       does not let you remove it.\n";
    case FileError::Reason::kInUseUnknown:
      return "       A leftover that you may not open is in the way, and nothing tells\n"
             "       whether a program still uses it.\n";
    case FileError::Reason::kMaybeProtected:
      return "       Nothing tells whether it is the input, the alignator or a standard\n"
             "       stream, which are never written over.\n";
    case FileError::Reason::kIsInput:
      return Format("       %s is the input file, which is never written over.\n", target);
    case FileError::Reason::kIsAlignator:
      return Format("       %s is the alignator file, which is never written over.\n", target);
  }
  return std::string();
}

}  // namespace

std::string FileErrorMessage(const FileError& error) {
  const char* path = error.path().c_str();
  std::string first;
  switch (error.kind()) {
    case FileError::Kind::kOpen:
      first = Format("Error: Cannot open file %s.\n", path);
      break;
    case FileError::Kind::kCreate:
      first = Format("Error: Cannot create file %s.\n", path);
      break;
    case FileError::Kind::kRead:
      first = "Error: Stream read error.\n";
      break;
    case FileError::Kind::kWrite:
      first = "Error: Stream write error.\n";
      break;
    case FileError::Kind::kRename:
      first = Format("Error: Cannot rename %s to %s.\n", path, error.target().c_str());
      break;
  }
  return first + ReasonLine(error) + "\n";
}

namespace {

int RunUnguarded(const std::vector<std::string>& args, FileSystem& files, std::ostream& out,
                 std::ostream& err) {
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

  if (files.IsDevice(input_path)) {
    out << "Error: Input file is a device, not a file.\n" << kDeviceNames;
    return kExitRefused;
  }
  if (!FileExists(files, input_path)) {
    out << "Error: Input file does not exist.\n\n";
    return kExitRefused;
  }
  if (alignator_path && files.IsDevice(*alignator_path)) {
    out << "Error: Alignator file is a device, not a file.\n" << kDeviceNames;
    return kExitRefused;
  }
  if (alignator_path && !FileExists(files, *alignator_path)) {
    out << "Error: Alignator file does not exist.\n\n";
    return kExitRefused;
  }
  if (info) return DescribeImage(files, input_path, alignator_path, out);
  return ConvertAndHandOver(files, input_path, alignator_path, out, err);
}

}  // namespace

int RefuseInexactArgument(std::size_t index, std::ostream& out) {
  out << kBanner
      << Format("Error: Argument %u holds characters that this Windows code page\n",
                static_cast<unsigned>(index + 1))
      << "       cannot hold, so it would reach another name. Rename the file, or run\n"
         "       on Windows 10 version 1903 or later, where every name can be given.\n\n";
  return kExitRefused;
}

int Run(const std::vector<std::string>& args, FileSystem& files, std::ostream& out,
        std::ostream& err) {
  try {
    return RunUnguarded(args, files, out, err);
  } catch (const FileError& error) {
    out << FileErrorMessage(error);
  } catch (const std::bad_alloc&) {
    out << "Error: Out of memory.\n\n";
  } catch (const ReportLost&) {
    // Nothing was named; out is broken, which the caller sees.
  }
  return kExitFileError;
}

}  // namespace kv2pelmo
