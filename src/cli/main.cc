// Program entry: runs the conversion and turns failures into their message and status.
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "cli/output_namer.h"
#include "cli/run.h"
#include "platform/console.h"
#include "platform/file_system.h"

namespace {

// Runs the conversion; every failure ends as a message on out and a status.
int RunReportingFailures(const std::vector<std::string>& args, std::ostream& out) {
  try {
    return kv2pelmo::Run(args, out);
  } catch (const kv2pelmo::FileError& error) {
    out << kv2pelmo::FileErrorMessage(error);
  } catch (const std::bad_alloc&) {
    out << "Error: Out of memory.\n\n";
  }
  return kv2pelmo::kExitFileError;
}

}  // namespace

int main(int argc, char** argv) {
  // A run whose outcome cannot be told must not pass for a success: with no
  // standard output it does nothing, and when its messages cannot be
  // written it says so where it still can.
  if (!kv2pelmo::PrepareProcess()) {
    std::cerr << "kv2pelmo: standard output is closed; nothing was done\n";
    return kv2pelmo::kExitFileError;
  }
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  int status = kv2pelmo::kExitFileError;
  try {
    status = RunReportingFailures(args, std::cout);
  } catch (const kv2pelmo::ReportLost&) {
    // Nothing was named; standard output is broken, which the check below tells.
  }
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
