// The run sequence and every message it prints.
#include "cli/run.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <ostream>

#include "blockfile/block_reader.h"
#include "cli/format.h"
#include "cli/messages.h"
#include "cli/output_namer.h"
#include "handover/file_system.h"
#include "handover/temporary_image.h"
#include "handover/waiting.h"
#include "image/image_writer.h"
#include "io/memory_file.h"

namespace kv2pelmo {
namespace {

std::optional<ReadResult> ReadAlignatorHeader(FileSystem& files,
                                              const std::optional<std::string>& alignator_path,
                                              const OnLongWait& notice) {
  if (!alignator_path) return std::nullopt;
  std::unique_ptr<InputStream> alignator = OpenWhenReleased(files, *alignator_path, notice);
  const ReadResult header = ReadFirstHeader(*alignator);
  alignator->Close();
  return header;
}

// Places the blocks, then reads the alignator's first header and aligns to
// it: the alignator is read only once every block has passed.
std::variant<ImageFacts, Refusal> Convert(FileSystem& files, InputStream& input, ImageStream& image,
                                          const std::optional<std::string>& alignator_path,
                                          const OnLongWait& notice, BlockMap* map = nullptr) {
  Conversion conversion(input, image);
  if (std::optional<Refusal> refusal = conversion.PlaceBlocksAndRound(map)) return *refusal;
  return conversion.AlignAndRelease(ReadAlignatorHeader(files, alignator_path, notice));
}

// Waits are told on standard error, so that the output of a run that waited
// stays the same.
OnLongWait NoticesTo(std::ostream& err) {
  return [&err](const std::string& path) { err << WaitNotice(path) << std::flush; };
}

// An output name too long for its file system would fail only at the very end.
bool NameFits(FileSystem& files, const std::string& output) {
  const std::string directory = DirectoryOf(output);
  return files.NameFits(directory, output.substr(directory.size()));
}

// Returns the finished image and its name, or nothing after printing why it
// was refused. A swapped pair is no refusal, but it is said.
std::optional<std::pair<ImageFacts, std::string>> OutputNameOrRefusal(
    FileSystem& files, const std::string& input_path,
    const std::optional<std::string>& alignator_path,
    const std::variant<ImageFacts, Refusal>& converted, std::ostream& out, std::ostream& err) {
  if (const auto* refusal = std::get_if<Refusal>(&converted)) {
    out << RefusalMessage(*refusal);
    return std::nullopt;
  }
  const auto& image = std::get<ImageFacts>(converted);
  if (image.alignator_below_end) err << AlignatorBelowEndNotice(*alignator_path);
  std::string name =
      OutputNamer::MakeOutputName(input_path, image.base_address, image.kind, image.variant_letter);
  if (!NameFits(files, name)) {  // only a PPM tag is longer than checked at first
    out << NameTooLongMessage();
    return std::nullopt;
  }
  return std::pair(image, std::move(name));
}

// Converts and names the image; nothing is left open when it returns or
// throws. The image stays held until it has its final name.
int ConvertAndHandOver(FileSystem& files, const std::string& input_path,
                       const std::optional<std::string>& alignator_path, std::ostream& out,
                       std::ostream& err) {
  const OnLongWait notice = NoticesTo(err);
  std::unique_ptr<InputStream> input = OpenWhenReleased(files, input_path, notice);
  std::unique_ptr<TemporaryImage> image =
      TemporaryImage::Create(files, kTemporaryImageName, {input_path, alignator_path}, notice);
  const std::variant<ImageFacts, Refusal> converted =
      Convert(files, *input, image->Stream(), alignator_path, notice);
  const auto finished = OutputNameOrRefusal(files, input_path, alignator_path, converted, out, err);
  if (!finished) return kExitRefused;
  OutputNamer(out).HandOver(*image, finished->second);
  return kExitSuccess;
}

// Reads and checks as a conversion does, into an image that keeps nothing.
int DescribeImage(FileSystem& files, const std::string& input_path,
                  const std::optional<std::string>& alignator_path, std::ostream& out,
                  std::ostream& err) {
  const OnLongWait notice = NoticesTo(err);
  std::unique_ptr<InputStream> input = OpenWhenReleased(files, input_path, notice);
  ImageStream image(std::make_unique<DiscardingFile>(), kTemporaryImageName);
  BlockMap map;
  const std::variant<ImageFacts, Refusal> converted =
      Convert(files, *input, image, alignator_path, notice, &map);
  const auto finished = OutputNameOrRefusal(files, input_path, alignator_path, converted, out, err);
  if (!finished) return kExitRefused;
  PrintImageDescription(finished->first, finished->second, map, image.Size(), out);
  return kExitSuccess;
}

}  // namespace

bool WaitBeforeClosing(const ConsoleFacts& facts) {
  return facts.processes == 1 && facts.input_is_console && facts.output_is_console;
}

namespace {

int RunUnguarded(const std::vector<std::string>& args, FileSystem& files, std::ostream& out,
                 std::ostream& err) {
  const bool alone = args.size() == 1;
  if (alone && args[0] == "--version") {
    out << kVersionLine;
    return kExitSuccess;
  }
  out << kBanner;
  if (alone && (args[0] == "--help" || args[0] == "-h")) {
    out << kHelpUsage << kOptions;
    return kExitSuccess;
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
    out << DeviceMessage(false);
    return kExitRefused;
  }
  if (!MayExist(files, input_path)) {
    out << kInputMissingMessage;
    return kExitRefused;
  }
  if (alignator_path && files.IsDevice(*alignator_path)) {
    out << DeviceMessage(true);
    return kExitRefused;
  }
  if (alignator_path && !MayExist(files, *alignator_path)) {
    out << kAlignatorMissingMessage;
    return kExitRefused;
  }
  // The shortest name a conversion could give: an MCU image's.
  if (!NameFits(files, OutputNamer::MakeOutputName(input_path, 0, ImageKind::kMcu, 0))) {
    out << NameTooLongMessage();
    return kExitRefused;
  }
  if (info) return DescribeImage(files, input_path, alignator_path, out, err);
  return ConvertAndHandOver(files, input_path, alignator_path, out, err);
}

}  // namespace

int RefuseLossyArgument(std::size_t index, std::ostream& out) {
  out << kBanner << LossyArgumentMessage(index);
  return kExitRefused;
}

int Run(const std::vector<std::string>& args, FileSystem& files, std::ostream& out,
        std::ostream& err) {
  try {
    return RunUnguarded(args, files, out, err);
  } catch (const NamingError& error) {
    out << FileErrorMessage(error);
  } catch (const RecordCutShort& error) {
    out << FileErrorMessage(error);
  } catch (const FileError& error) {
    out << FileErrorMessage(error);
  } catch (const std::bad_alloc&) {
    out << kOutOfMemoryMessage;
  } catch (const ReportNotWritten&) {
    // Nothing was named; out is broken, which the caller sees.
  }
  return kExitFileError;
}

}  // namespace kv2pelmo
