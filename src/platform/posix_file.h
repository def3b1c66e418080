// The POSIX raw file: the system file over a descriptor.
#ifndef KV2PELMO_PLATFORM_POSIX_FILE_H_
#define KV2PELMO_PLATFORM_POSIX_FILE_H_

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "platform/system_file.h"

namespace kv2pelmo {

/// The descriptor calls a system file makes; an interrupted transfer is tried again.
struct PosixCalls {
  using Handle = int;
  static constexpr int kNone = -1;

  static bool Read(int fd, void* data, std::size_t n, std::size_t& got) {
    ssize_t done;
    while ((done = ::read(fd, data, n)) < 0 && errno == EINTR) {
    }
    got = done > 0 ? static_cast<std::size_t>(done) : 0;
    return done >= 0;
  }
  static bool Write(int fd, const void* data, std::size_t n, std::size_t& put) {
    ssize_t done;
    while ((done = ::write(fd, data, n)) < 0 && errno == EINTR) {
    }
    put = done > 0 ? static_cast<std::size_t>(done) : 0;
    return done >= 0;
  }
  static bool Seek(int fd, std::uint64_t offset) {
    return offset <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) &&
           ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
  }
  static bool Size(int fd, std::uint64_t& size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }
  // The descriptor is gone even when close reports EINTR: never closed twice.
  static bool Close(int fd) { return ::close(fd) == 0 || errno == EINTR; }
};

/// A raw file over a descriptor.
using PosixFile = SystemFile<RawFile, PosixCalls>;

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_POSIX_FILE_H_
