// The stream layer on Windows: Win32 file handles, sharing modes and MoveFileExA.
#include <windows.h>

#include <algorithm>

#include "platform/buffered_stream.h"
#include "platform/stream.h"

namespace kv2pelmo {
namespace {

class Win32Stream : public Stream {
 public:
  /// Takes ownership of handle. failure is the text of every error but a read's.
  Win32Stream(HANDLE handle, const char* failure) : handle_(handle), failure_(failure) {}
  ~Win32Stream() override {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  Win32Stream(const Win32Stream&) = delete;
  Win32Stream& operator=(const Win32Stream&) = delete;

  std::size_t ReadSome(void* data, std::size_t n) override {
    DWORD got = 0;
    const auto want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
    if (!::ReadFile(handle_, data, want, &got, nullptr)) throw FileError("Stream read error");
    return got;
  }

  void WriteAll(const void* data, std::size_t n) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (n > 0) {
      DWORD put = 0;
      const auto want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
      if (!::WriteFile(handle_, bytes, want, &put, nullptr) || put == 0) {
        throw FileError("Stream write error");
      }
      bytes += put;
      n -= put;
    }
  }

  void Seek(std::uint64_t offset) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (offset > 0x7FFFFFFFFFFFFFFFull || !::SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN)) {
      throw FileError(failure_);
    }
  }

  std::uint64_t Position() override {
    LARGE_INTEGER zero, at;
    zero.QuadPart = 0;
    if (!::SetFilePointerEx(handle_, zero, &at, FILE_CURRENT)) throw FileError(failure_);
    return static_cast<std::uint64_t>(at.QuadPart);
  }

  std::uint64_t Size() override {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle_, &size)) throw FileError(failure_);
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  void Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    if (!::CloseHandle(handle)) throw FileError(failure_);
  }

 private:
  HANDLE handle_;
  const char* failure_;
};

HANDLE OpenShared(const std::string& path) {
  return ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::unique_ptr<Stream> OpenForReading(const std::string& path) {
  HANDLE handle = OpenShared(path);
  if (handle == INVALID_HANDLE_VALUE) throw FileError("Cannot open file " + path);
  return std::make_unique<BufferedStream>(
      std::make_unique<Win32Stream>(handle, "Stream read error"));
}

std::unique_ptr<Stream> CreateImage(const std::string& path, const std::vector<std::string>& keep) {
  // A link of that name would send the truncation to another file.
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    throw FileError("Cannot create file " + path);
  }
  // While these are open for reading, the no-sharing create below fails on
  // any of them, as it does on an image another run holds open.
  std::vector<HANDLE> held;
  for (const std::string& other : keep) {
    HANDLE handle = OpenShared(other);
    if (handle != INVALID_HANDLE_VALUE) held.push_back(handle);
  }
  HANDLE handle =
      ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  for (HANDLE other : held) ::CloseHandle(other);
  if (handle == INVALID_HANDLE_VALUE) throw FileError("Cannot create file " + path);
  return std::make_unique<BufferedStream>(
      std::make_unique<Win32Stream>(handle, "Stream write error"));
}

bool FileExists(const std::string& path) {
  // Unlike a directory search, this never treats '*' or '?' as a pattern.
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RenameReplacing(const std::string& from, const std::string& to) {
  if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
    throw FileError("Cannot rename " + from + " to " + to);
  }
}

const char* PathSeparators() { return "\\/:"; }

}  // namespace kv2pelmo
