// The Win32 raw file: one over a file handle.
#ifndef KV2PELMO_PLATFORM_WIN32_FILE_H_
#define KV2PELMO_PLATFORM_WIN32_FILE_H_

#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/raw_file.h"

namespace kv2pelmo {

/// A raw file over a Win32 handle it owns.
class Win32File final : public RawFile {
 public:
  /// Takes ownership of handle. failure is the kind of every error but a read's.
  Win32File(HANDLE handle, std::string path, FileError::Kind failure)
      : handle_(handle), path_(std::move(path)), failure_(failure) {}
  ~Win32File() override {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  std::size_t ReadSome(void* data, std::size_t n) override {
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
    if (!::ReadFile(handle_, data, want, &got, nullptr))
      throw FileError(FileError::Kind::kRead, path_);
    return got;
  }

  void WriteAll(const void* data, std::size_t n) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (n > 0) {
      DWORD put = 0;
      const auto want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
      if (!::WriteFile(handle_, bytes, want, &put, nullptr) || put == 0) {
        throw FileError(FileError::Kind::kWrite, path_);
      }
      bytes += put;
      n -= put;
    }
  }

  void Seek(std::uint64_t offset) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (offset > 0x7FFFFFFFFFFFFFFFull || !::SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN)) {
      throw FileError(failure_, path_);
    }
  }

  std::uint64_t Size() override {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle_, &size)) throw FileError(failure_, path_);
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  void Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    if (!::CloseHandle(handle)) throw FileError(failure_, path_);
  }

 private:
  HANDLE handle_;
  std::string path_;
  FileError::Kind failure_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_WIN32_FILE_H_
