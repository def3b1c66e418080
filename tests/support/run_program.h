// Runs the built converter as a child process and captures what it prints.
#ifndef KV2PELMO_TESTS_SUPPORT_RUN_PROGRAM_H_
#define KV2PELMO_TESTS_SUPPORT_RUN_PROGRAM_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kv2pelmo::test {

/// How a run ended.
struct ProgramResult {
  /// The exit status, or -1 when the process did not exit normally.
  int status = -1;
  /// Everything written to standard output, with CRLF turned into LF.
  std::string out;
};

/// Limits and surroundings a run can be given. POSIX builds only, but for
/// the defaults and the program.
struct RunLimits {
  /// When set: the program to run instead of the converter under test.
  std::filesystem::path program;
  /// When nonzero: the largest file the program may write, in bytes.
  std::uint64_t max_file_size = 0;
  /// When nonzero: the most memory the program may map, in bytes.
  std::uint64_t max_memory = 0;
  /// When set: standard output goes to this file ("" closes it, "|" makes
  /// it a pipe that nobody reads) and the captured text is standard error
  /// instead.
  std::optional<std::string> stdout_path;
  /// A command that runs the program, for example under strace.
  std::vector<std::string> wrapper;
  /// When set: the umask the program starts with.
  std::optional<unsigned> umask;
  /// When set, the program starts with SIGHUP ignored, as under nohup.
  bool ignore_hangup = false;
  /// When set: standard error goes to this file. Windows builds only.
  std::filesystem::path stderr_path;
};

/// Returns the path of the converter under test.
std::filesystem::path ProgramPath();

/// Runs the converter with args in directory dir and waits for it.
ProgramResult RunProgram(const std::filesystem::path& dir, const std::vector<std::string>& args,
                         const RunLimits& limits = {});

/// Starts the converter once for each of runs, all in directory dir and one
/// right after the other from this thread, then waits for them all. Their
/// output must fit a pipe's buffer, as the converter's always does.
std::vector<ProgramResult> RunProgramsTogether(const std::filesystem::path& dir,
                                               const std::vector<std::vector<std::string>>& runs);

/// Starts the converter with args in directory dir, its output discarded, and
/// returns its process id without waiting for it. POSIX builds only.
int StartProgram(const std::filesystem::path& dir, const std::vector<std::string>& args);

namespace internal {

/// A program started by the platform's half of these helpers.
struct Started;
/// Starts the converter with args in directory dir, without waiting.
std::shared_ptr<Started> Start(const std::filesystem::path& dir,
                               const std::vector<std::string>& args, const RunLimits& limits);
/// Waits for a started program and returns how it ended.
ProgramResult Finish(const Started& started);

}  // namespace internal

}  // namespace kv2pelmo::test

#endif  // KV2PELMO_TESTS_SUPPORT_RUN_PROGRAM_H_
