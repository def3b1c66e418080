// Program entry: runs the conversion and turns failures into their message and status.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "cli/run.h"
#include "handover/file_system.h"
#include "platform/console.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  // A run whose outcome cannot be told must not pass for a success: with no
  // standard output it does nothing, and when its messages cannot be
  // written it says so where it still can.
  if (!kv2pelmo::PrepareProcess()) {
    std::cerr << "kv2pelmo: standard output is closed; nothing was done\n";
    return kv2pelmo::kExitFileError;
  }
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const kv2pelmo::ScopedConsoleCodePage code_page;
  const std::optional<std::size_t> inexact = kv2pelmo::FirstLossyArgument(args);
  const int status =
      inexact ? kv2pelmo::RefuseLossyArgument(*inexact, std::cout)
              : kv2pelmo::Run(args, kv2pelmo::PlatformFileSystem(), std::cout, std::cerr);
  if (!std::cout.flush()) {
    std::cerr << "kv2pelmo: the messages could not be written to standard output\n";
    return kv2pelmo::kExitFileError;
  }
  // A window that closes as the program ends would take the outcome with it.
  if (kv2pelmo::WaitBeforeClosing(kv2pelmo::ReadConsoleFacts())) {
    std::cout << "Press Enter to close this window." << std::flush;
    std::string line;
    std::getline(std::cin, line);
  }
  return status;
}
