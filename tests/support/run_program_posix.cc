// Runs the converter with fork and exec, its output through a pipe.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "run_program.h"

namespace kv2pelmo::testing {
namespace {

[[noreturn]] void ExecChild(const std::filesystem::path& dir, const std::vector<std::string>& args,
                            const RunLimits& limits, int out_fd) {
  if (::chdir(dir.c_str()) != 0 || ::dup2(out_fd, STDOUT_FILENO) < 0) ::_exit(127);
  if (limits.max_file_size != 0) {
    // Ignoring SIGXFSZ makes an oversized write fail as on a full disk.
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{limits.max_file_size, limits.max_file_size};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  const std::string program = ProgramPath().string();
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv(program.c_str(), argv.data());
  ::_exit(127);
}

}  // namespace

std::filesystem::path ProgramPath() { return KV2PELMO_BINARY; }

ProgramResult RunProgram(const std::filesystem::path& dir, const std::vector<std::string>& args,
                         const RunLimits& limits) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    ExecChild(dir, args, limits, pipe_fds[1]);
  }
  ::close(pipe_fds[1]);
  ProgramResult result;
  char chunk[4096];
  ssize_t got;
  while ((got = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
    if (got > 0) result.out.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(pipe_fds[0]);
  int wait_status = 0;
  while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (pid > 0 && WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  return result;
}

int StartProgram(const std::filesystem::path& dir, const std::vector<std::string>& args) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null_fd = ::open("/dev/null", O_WRONLY);
    ExecChild(dir, args, RunLimits{}, null_fd);
  }
  return pid;
}

}  // namespace kv2pelmo::testing
