// The converter's run: checks, block loop, finishing and hand-over.
#ifndef KV2PELMO_CLI_RUN_H_
#define KV2PELMO_CLI_RUN_H_

#include <ostream>
#include <string>
#include <vector>

namespace kv2pelmo {

/// The image was written under its final name.
constexpr int kExitConverted = 0;
/// The run stopped with a message: usage, a missing file, a refused input.
constexpr int kExitRefused = 1;
/// The file layer failed: open, create, read, write or rename.
constexpr int kExitFileError = 2;

/// Converts the block file args[0], aligned to the file args[1] when given,
/// printing every message to out. Returns kExitConverted or kExitRefused.
/// Throws FileError when the file layer fails.
int Run(const std::vector<std::string>& args, std::ostream& out);

}  // namespace kv2pelmo

#endif  // KV2PELMO_CLI_RUN_H_
