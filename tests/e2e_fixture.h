// Shared fixture of the end-to-end tests: a scratch directory and the built program.
#ifndef KV2PELMO_TESTS_E2E_FIXTURE_H_
#define KV2PELMO_TESTS_E2E_FIXTURE_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/version.h"
#include "record_builder.h"
#include "run_program.h"
#include "temp_dir.h"

namespace kv2pelmo::test {

inline const std::string kBanner = "Kovrel to Pelmo Converter " KV2PELMO_VERSION " by Quelm\n\n";

/// Returns the report line for a converted image.
inline std::string Written(const std::string& name) {
  return kBanner + "Output written to: " + name + "\n\n";
}

/// Runs the converter with args in dir and checks what it printed and its exit status.
inline void ExpectProgram(const std::filesystem::path& dir, const std::vector<std::string>& args,
                          const std::string& out, int status, const RunLimits& limits = {}) {
  const ProgramResult result = RunProgram(dir, args, limits);
  std::string call = "kv2pelmo";
  for (const std::string& arg : args) call += " " + arg;
  EXPECT_EQ(result.out, out) << call;
  EXPECT_EQ(result.status, status) << call;
}

class EndToEndTest : public ::testing::Test {
 protected:
  /// Writes bytes as the file name in the scratch directory.
  void Write(const std::string& name, const Bytes& bytes) { WriteFile(dir_ / name, bytes); }
  /// Returns the bytes of the file name in the scratch directory.
  Bytes Read(const std::string& name) { return ReadFile(dir_ / name); }
  /// Returns true when name exists in the scratch directory.
  bool Exists(const std::string& name) { return std::filesystem::exists(dir_ / name); }
  /// Runs the program in the scratch directory.
  ProgramResult Run(const std::vector<std::string>& args, const RunLimits& limits = {}) {
    return RunProgram(dir_.Path(), args, limits);
  }
  /// Runs the program in the scratch directory and checks its output and status.
  void ExpectRun(const std::vector<std::string>& args, const std::string& out, int status,
                 const RunLimits& limits = {}) {
    ExpectProgram(dir_.Path(), args, out, status, limits);
  }

  ScopedTempDir dir_;
};

/// A copy of the program that other users can run, as user uid of group 100
/// (which has no account): the build folder may be one they cannot reach (a
/// clone in a folder of mode 0700, or in /root). POSIX builds only.
class ProgramForOtherUsers {
 public:
  ProgramForOtherUsers() {
    std::filesystem::permissions(bin_.Path(), std::filesystem::perms(0755));
    std::filesystem::copy_file(ProgramPath(), bin_ / "kv2pelmo");
  }
  RunLimits As(int uid) const {
    RunLimits limits;
    limits.program = bin_ / "kv2pelmo";
    limits.wrapper = {"setpriv", "--reuid=" + std::to_string(uid), "--regid=100", "--clear-groups"};
    return limits;
  }
  /// Returns why user 1001 cannot search dir or run the copy; empty where it can.
  std::string Unreachable(const std::filesystem::path& dir) const {
    RunLimits limits = As(1001);
    for (const std::filesystem::path& path : {dir, limits.program}) {
      limits.program = "test";
      if (RunProgram("/", {"-x", path.string()}, limits).status != 0) {
        return "skipped: user 1001 cannot reach " + path.string() +
               "; set TMPDIR to a folder every user can reach";
      }
    }
    return "";
  }

 private:
  ScopedTempDir bin_;
};

}  // namespace kv2pelmo::test

#endif  // KV2PELMO_TESTS_E2E_FIXTURE_H_
