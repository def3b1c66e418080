// The converter's run: checks, block loop, finishing and hand-over.
#ifndef KV2PELMO_CLI_RUN_H_
#define KV2PELMO_CLI_RUN_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "image/image_writer.h"
#include "platform/image_stream.h"
#include "platform/input_stream.h"
#include "platform/console.h"
#include "platform/file_error.h"

namespace kv2pelmo {

/// The image was written under its final name.
constexpr int kExitConverted = 0;
/// The run stopped with a message: usage, a missing file, a refused input.
constexpr int kExitRefused = 1;
/// The file layer failed: open, create, read, write or rename.
constexpr int kExitFileError = 2;

/// What a finished image's name is made of.
struct FinishedImage {
  std::int32_t base_address;
  ImageKind kind;
  std::uint8_t variant_letter;
};

/// What a pass over the blocks saw, for --info.
struct BlockMap {
  /// Records read, empty ones included.
  std::size_t records = 0;
  /// The address ranges the data covers, as [start, end).
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges;

  /// Notes a valid record.
  void Add(std::int32_t address, std::int32_t length);
  /// Sorts the ranges and merges those that touch or overlap.
  void Merge();
};

/// Reads and checks the alignator's first header, once the image is rounded;
/// returns nothing when there is no alignator. Throws FileError.
using AlignatorReader = std::function<std::optional<ReadResult>()>;

/// Converts the records of input into image, rounded and then aligned to the
/// address of the header read_alignator() gives; closes input; notes every
/// block in map when given. Returns what names the image, or nothing after
/// printing to out why the input or the alignator is refused. Throws
/// FileError when the file layer fails.
std::optional<FinishedImage> ConvertStreams(InputStream& input, ImageStream& image,
                                            const AlignatorReader& read_alignator,
                                            std::ostream& out, BlockMap* map = nullptr);

/// Returns the message for a failure of the file layer, for example
/// "Error: Stream read error.\n\n".
std::string FileErrorMessage(const FileError& error);

/// Converts the block file args[0], aligned to the file args[1] when given,
/// printing every message to out; or, after --info, describes it without
/// writing anything; or answers --help, -h or --version given alone.
/// Returns kExitConverted or kExitRefused. Throws FileError when the file
/// layer fails.
int Run(const std::vector<std::string>& args, std::ostream& out);

/// Returns true when the program should wait for Enter before it ends: in a
/// console made for it alone (started from Explorer), which closes with it
/// before its outcome can be read, and only when that console is its input
/// and its output.
bool WaitBeforeClosing(const ConsoleFacts& facts);

}  // namespace kv2pelmo

#endif  // KV2PELMO_CLI_RUN_H_
