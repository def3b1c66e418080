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

#include "handover/file_system.h"
#include "image/conversion.h"
#include "io/file_error.h"
#include "io/image_stream.h"
#include "io/input_stream.h"
#include "platform/console.h"

namespace kv2pelmo {

/// The image was written under its final name.
constexpr int kExitSuccess = 0;
/// The run stopped with a message: usage, a missing file, a refused input.
constexpr int kExitRefused = 1;
/// The file layer failed: open, create, read, write or rename.
constexpr int kExitFileError = 2;

/// Converts the block file args[0], aligned to the file args[1] when given,
/// printing every message to out and notices to err; or, after --info,
/// describes it without writing anything; or answers --help, -h or --version
/// given alone. Every file goes through files. Returns the exit status:
/// kExitFileError, with its message, when the file layer fails, and without
/// one when out cannot be written.
int Run(const std::vector<std::string>& args, FileSystem& files, std::ostream& out,
        std::ostream& err);

/// Prints the banner and why the argument at index (0 for the first after
/// the program's name) cannot be taken: it is not what the user typed.
/// Returns kExitRefused.
int RefuseLossyArgument(std::size_t index, std::ostream& out);

/// Returns true when the program should wait for Enter before it ends: in a
/// console made for it alone (started from Explorer), which closes with it
/// before its outcome can be read, and only when that console is its input
/// and its output.
bool WaitBeforeClosing(const ConsoleFacts& facts);

}  // namespace kv2pelmo

#endif  // KV2PELMO_CLI_RUN_H_
