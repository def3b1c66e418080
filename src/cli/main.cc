// Program entry: runs the conversion and turns a file-layer failure into its message and status.
#include <iostream>
#include <string>
#include <vector>

#include "cli/run.h"
#include "platform/stream.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  try {
    return kv2pelmo::Run(args, std::cout);
  } catch (const kv2pelmo::FileError& error) {
    std::cout << "Error: " << error.what() << ".\n\n";
    return kv2pelmo::kExitFileError;
  }
}
