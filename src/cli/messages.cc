// The program's texts for refusals and failures.
#include "cli/messages.h"

#include "cli/format.h"
#include "cli/version.h"

namespace kv2pelmo {

const char* const kBanner = "Kovrel to Pelmo Converter " KV2PELMO_VERSION " by Quelm\n\n";
const char* const kUsage =
    "Usage:   kv2pelmo <kv_mcu_file> [<kv_ppm_file>]\n"
    "         kv2pelmo <kv_ppm_file>\n\n"
    "Example: kv2pelmo npm5nx03.480 npm5nx03.48g\n\n";
const char* const kHelpUsage =
    "Usage:   kv2pelmo <kv_mcu_file> [<kv_ppm_file>]\n"
    "         kv2pelmo <kv_ppm_file>\n"
    "         kv2pelmo --info <kv_file> [<kv_ppm_file>]\n"
    "         kv2pelmo --help | -h | --version\n\n"
    "Example: kv2pelmo npm5nx03.480 npm5nx03.48g\n\n";
const char* const kOptions =
    "Options, each first on the command line:\n"
    "  --info <kv_file> [<kv_ppm_file>]  check and describe a block file; writes nothing\n"
    "  --help, -h                        show this text\n"
    "  --version                         show the version\n"
    "A file whose name starts with '-' is given as ./-name.\n\n";

const char* const kVersionLine = "kv2pelmo " KV2PELMO_VERSION "\n";
const char* const kInputMissingMessage = "Error: Input file does not exist.\n\n";
const char* const kAlignatorMissingMessage = "Error: Alignator file does not exist.\n\n";
const char* const kOutOfMemoryMessage = "Error: Out of memory.\n\n";

std::string Printable(const std::string& name) {
  std::string shown;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    shown += byte < 0x20 || byte == 0x7F ? Format("\\x%02X", byte) : std::string(1, c);
  }
  return shown;
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
    case Kind::kNoData:
      return "Error: Input file holds no data: every record in it is empty.\n\n";
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

// The message's first line, which says what failed.
std::string FirstLine(const FileError& error) {
  const std::string shown = Printable(error.path());
  const char* path = shown.c_str();
  switch (error.kind()) {
    case FileError::Kind::kOpen:
      return Format("Error: Cannot open file %s.\n", path);
    case FileError::Kind::kCreate:
      return Format("Error: Cannot create file %s.\n", path);
    case FileError::Kind::kRead:
      return "Error: Stream read error.\n";
    case FileError::Kind::kWrite:
      return "Error: Stream write error.\n";
    case FileError::Kind::kRename:
      return Format("Error: Cannot rename %s to %s.\n", path, Printable(error.target()).c_str());
  }
  return std::string();
}

// The continuation line that says why the naming refused.
std::string CauseLine(const NamingError& error) {
  using Cause = NamingError::Cause;
  const std::string shown = Printable(error.target());
  const char* target = shown.c_str();
  switch (error.cause()) {
    case Cause::kNotRemovable:
      return "       A leftover of an earlier run is in the way, and this directory\n"
             "       does not let you remove it.\n";
    case Cause::kInUseUnknown:
      return "       You may not open it, and it may be in use by another user's run:\n"
             "       try again later, or ask its owner to remove it.\n";
    case Cause::kMaybeProtected:
      return "       Nothing tells whether it is the input, the alignator or a standard\n"
             "       stream, which are never written over.\n";
    case Cause::kIsInput:
      return Format("       %s is the input file, which is never written over.\n", target);
    case Cause::kIsAlignator:
      return Format("       %s is the alignator file, which is never written over.\n", target);
    case Cause::kIsStandardStream:
      return Format("       %s is where the messages are written, and would lose them.\n", target);
    case Cause::kOthersLeftover:
      return "       Another user's leftover that you may not open is in the way;\n"
             "       its owner can remove it.\n";
  }
  return std::string();
}

// The continuation line that says why a file could not be opened or named,
// where the system told: of the new name, for a rename.
std::string ReasonLine(const FileError& error) {
  const bool rename = error.kind() == FileError::Kind::kRename;
  const std::string shown = Printable(rename ? error.target() : error.path());
  switch (error.reason()) {
    case FileError::Reason::kHeld:
      return Format("       Another program has %s open: close it there, then run again.\n",
                    shown.c_str());
    case FileError::Reason::kDenied:
      return Format(rename ? "       You may not replace %s: check its permissions, and that it\n"
                             "       is not read-only.\n"
                           : "       You may not read %s: check its permissions.\n",
                    shown.c_str());
    default:
      return std::string();
  }
}

}  // namespace

std::string FileErrorMessage(const FileError& error) {
  return FirstLine(error) + ReasonLine(error) + "\n";
}

std::string FileErrorMessage(const NamingError& error) {
  return FirstLine(error) + CauseLine(error) + "\n";
}

std::string FileErrorMessage(const RecordCutShort& error) {
  return FirstLine(error) +
         Format("       %s ends inside the record at 0x%06llX: it is cut short.\n\n",
                Printable(error.path()).c_str(),
                static_cast<unsigned long long>(error.record_offset()));
}

std::string DeviceMessage(bool alignator) {
  return Format("Error: %s file is a device, not a file.\n", alignator ? "Alignator" : "Input") +
         "       Windows takes names such as NUL, CON, AUX and COM1 for devices,\n"
         "       whatever their extension: rename the file.\n\n";
}

std::string LossyArgumentMessage(std::size_t index) {
  return Format("Error: Argument %u holds characters that this Windows code page\n",
                static_cast<unsigned>(index + 1)) +
         "       cannot hold, so it would reach another name. Rename the file, or run\n"
         "       on Windows 10 version 1903 or later, where every name can be given.\n\n";
}

std::string NameTooLongMessage() {
  return "Error: Output name too long for its file system.\n"
         "       Give the input file a shorter name.\n\n";
}

std::string WaitNotice(const std::string& path) {
  return "kv2pelmo: waiting for another program to release " + Printable(path) + "\n";
}

std::string AlignatorBelowEndNotice(const std::string& alignator) {
  return "kv2pelmo: " + Printable(alignator) +
         " begins below the end of the image, so nothing was added; the MCU file goes first, "
         "then its PPM file\n";
}

// Prints the facts of the image, a line each; the ranges as they are found,
// however many there are.
void PrintImageDescription(const ImageFacts& image, const std::string& output_name, BlockMap& map,
                           std::uint64_t image_size, std::ostream& out) {
  const auto as_unsigned = [](std::int64_t value) {
    return static_cast<unsigned long long>(value);
  };
  out << (image.kind == ImageKind::kPpm
              ? Format("Image kind: PPM\nVariant letter: 0x%02X\n", image.variant_letter)
              : "Image kind: MCU\n");
  out << Format("Base address: 0x%06llX\nRecords: %llu\n", as_unsigned(image.base_address),
                static_cast<unsigned long long>(map.Records()));
  map.ForEachRange([&](std::int64_t start, std::int64_t end) {
    out << Format("Range: 0x%06llX to 0x%06llX, %llu bytes\n", as_unsigned(start),
                  as_unsigned(end - 1), as_unsigned(end - start));
  });
  out << Format("Image size: %llu bytes\n", as_unsigned(static_cast<std::int64_t>(image_size)))
      << "Output name: " << Printable(output_name) << "\n\n";
}

}  // namespace kv2pelmo
