// The converter's run: checks, block loop, finishing and hand-over.
#ifndef KV2PELMO_CLI_RUN_H_
#define KV2PELMO_CLI_RUN_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "image/image_writer.h"
#include "platform/stream.h"

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

/// Converts the records of input into image, aligned to the file at
/// alignator_path when given, and closes both. Returns what names the image,
/// or nothing after printing to out why the input is refused. Throws
/// FileError when the file layer fails.
std::optional<FinishedImage> ConvertStreams(Stream& input, Stream& image,
                                            const std::optional<std::string>& alignator_path,
                                            std::ostream& out);

/// Converts the block file args[0], aligned to the file args[1] when given,
/// printing every message to out. Returns kExitConverted or kExitRefused.
/// Throws FileError when the file layer fails.
int Run(const std::vector<std::string>& args, std::ostream& out);

}  // namespace kv2pelmo

#endif  // KV2PELMO_CLI_RUN_H_
