// Runs the converter with fork and exec, its output through a pipe.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "run_program.h"

namespace kv2pelmo::test {
namespace {

// Points standard output where limits say, or at out_fd; in the first case
// standard error goes to out_fd instead.
bool RedirectOutput(const RunLimits& limits, int out_fd) {
  if (!limits.stdout_path) return ::dup2(out_fd, STDOUT_FILENO) >= 0;
  if (::dup2(out_fd, STDERR_FILENO) < 0) return false;
  if (limits.stdout_path->empty()) return ::close(STDOUT_FILENO) == 0;
  int pipe_fds[2];
  if (*limits.stdout_path == "|") {
    return ::pipe(pipe_fds) == 0 && ::close(pipe_fds[0]) == 0 &&
           ::dup2(pipe_fds[1], STDOUT_FILENO) >= 0;
  }
  const int fd = ::open(limits.stdout_path->c_str(), O_WRONLY);
  return fd >= 0 && ::dup2(fd, STDOUT_FILENO) >= 0;
}

[[noreturn]] void ExecChild(const std::filesystem::path& dir, const std::vector<std::string>& args,
                            const RunLimits& limits, int out_fd) {
  if (::chdir(dir.c_str()) != 0 || !RedirectOutput(limits, out_fd)) ::_exit(127);
  if (limits.umask) ::umask(static_cast<mode_t>(*limits.umask));
  if (limits.ignore_hangup) ::signal(SIGHUP, SIG_IGN);
  if (limits.max_file_size != 0) {
    const rlimit limit{limits.max_file_size, limits.max_file_size};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (limits.max_memory != 0) {
    const rlimit limit{limits.max_memory, limits.max_memory};
    ::setrlimit(RLIMIT_AS, &limit);
  }
  std::vector<std::string> command = limits.wrapper;
  command.push_back((limits.program.empty() ? ProgramPath() : limits.program).string());
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : command) argv.push_back(arg.data());
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  ::_exit(127);
}

}  // namespace

std::filesystem::path ProgramPath() { return KV2PELMO_BINARY; }

namespace internal {

// A started program and the read end of its output.
struct Started {
  pid_t pid = -1;
  int output = -1;
};

std::shared_ptr<Started> Start(const std::filesystem::path& dir,
                               const std::vector<std::string>& args, const RunLimits& limits) {
  auto started = std::make_shared<Started>();
  int pipe_fds[2];
  // Closed on exec: neither this program nor one started after it keeps them.
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return started;
  started->pid = ::fork();
  if (started->pid == 0) ExecChild(dir, args, limits, pipe_fds[1]);
  ::close(pipe_fds[1]);
  started->output = pipe_fds[0];
  return started;
}

ProgramResult Finish(const Started& started) {
  ProgramResult result;
  char chunk[4096];
  ssize_t got;
  while ((got = ::read(started.output, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR)) {
    if (got > 0) result.out.append(chunk, static_cast<std::size_t>(got));
  }
  if (started.output >= 0) ::close(started.output);
  int wait_status = 0;
  while (started.pid > 0 && ::waitpid(started.pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (started.pid > 0 && WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  return result;
}

}  // namespace internal


int StartProgram(const std::filesystem::path& dir, const std::vector<std::string>& args) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null_fd = ::open("/dev/null", O_WRONLY);
    ExecChild(dir, args, RunLimits{}, null_fd);
  }
  return pid;
}

}  // namespace kv2pelmo::test
