// Running the converter, over each platform's start and finish.
#include "run_program.h"

namespace kv2pelmo::test {

ProgramResult RunProgram(const std::filesystem::path& dir, const std::vector<std::string>& args,
                         const RunLimits& limits) {
  return internal::Finish(*internal::Start(dir, args, limits));
}

std::vector<ProgramResult> RunProgramsTogether(const std::filesystem::path& dir,
                                               const std::vector<std::vector<std::string>>& runs) {
  std::vector<std::shared_ptr<internal::Started>> started;
  for (const auto& args : runs) started.push_back(internal::Start(dir, args, RunLimits{}));
  std::vector<ProgramResult> results;
  for (const auto& run : started) results.push_back(internal::Finish(*run));
  return results;
}

}  // namespace kv2pelmo::test
