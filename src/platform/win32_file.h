// The Win32 raw file: the system file over a file handle.
#ifndef KV2PELMO_PLATFORM_WIN32_FILE_H_
#define KV2PELMO_PLATFORM_WIN32_FILE_H_

#include <windows.h>

#include <algorithm>

#include "platform/system_file.h"

namespace kv2pelmo {

/// The handle calls a system file makes; a transfer asks for at most 1 GiB,
/// which a DWORD holds.
struct Win32Calls {
  using Handle = HANDLE;
  static inline const HANDLE kNone = INVALID_HANDLE_VALUE;

  static bool Read(HANDLE handle, void* data, std::size_t n, std::size_t& got) {
    DWORD done = 0;
    const bool read = ::ReadFile(handle, data, Piece(n), &done, nullptr) != 0;
    got = done;
    return read;
  }
  static bool Write(HANDLE handle, const void* data, std::size_t n, std::size_t& put) {
    DWORD done = 0;
    const bool written = ::WriteFile(handle, data, Piece(n), &done, nullptr) != 0;
    put = done;
    return written;
  }
  static bool Seek(HANDLE handle, std::uint64_t offset) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return offset <= 0x7FFFFFFFFFFFFFFFull && ::SetFilePointerEx(handle, to, nullptr, FILE_BEGIN);
  }
  static bool Size(HANDLE handle, std::uint64_t& size) {
    LARGE_INTEGER got;
    if (!::GetFileSizeEx(handle, &got)) return false;
    size = static_cast<std::uint64_t>(got.QuadPart);
    return true;
  }
  static bool Close(HANDLE handle) { return ::CloseHandle(handle) != 0; }

 private:
  static DWORD Piece(std::size_t n) {
    return static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
  }
};

/// A raw file over a Win32 handle.
using Win32File = SystemFile<RawFile, Win32Calls>;

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_WIN32_FILE_H_
