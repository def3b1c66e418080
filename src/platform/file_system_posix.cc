// The file layer on POSIX systems: opening for reading, existence, process set-up.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_system.h"
#include "platform/posix_file.h"

namespace kv2pelmo {

std::unique_ptr<InputStream> OpenForReading(const std::string& path) {
  // A named pipe is opened as any reader opens it: waiting for its writer,
  // whose data would otherwise look like an empty file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw FileError(FileError::Kind::kOpen, path);
  return std::make_unique<InputStream>(
      std::make_unique<PosixFile>(fd, path, FileError::Kind::kRead), path);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return !S_ISDIR(st.st_mode);
  // Only the system's word that there is no such file makes it missing; on
  // any other failure (a directory that cannot be searched, say) opening it
  // tells what is wrong.
  return errno != ENOENT && errno != ENOTDIR;
}

bool PrepareProcess() {
  // A file-size limit must fail the write, as a full disk does, and a closed
  // pipe the report, not end the process without a word.
  // (These fail only for a signal number that does not exist.)
  static_cast<void>(::signal(SIGXFSZ, SIG_IGN));
  static_cast<void>(::signal(SIGPIPE, SIG_IGN));
  bool output_open = true;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) output_open = false;
    // The lowest free number: this one. No file of the run may take it, or
    // the messages would be written into that file.
    const int null_fd = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null_fd != fd) return false;
  }
  return output_open;
}

const char* PathSeparators() { return "/"; }

}  // namespace kv2pelmo
