// The file layer on Windows: opening for reading and existence.
#include <windows.h>

#include <string>

#include "platform/file_system.h"
#include "platform/win32_file.h"

namespace kv2pelmo {
namespace {

using Kind = FileError::Kind;

HANDLE OpenShared(const std::string& path) {
  return ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::unique_ptr<InputStream> OpenForReading(const std::string& path) {
  HANDLE handle = OpenShared(path);
  if (handle == INVALID_HANDLE_VALUE) throw FileError(Kind::kOpen, path);
  return std::make_unique<InputStream>(std::make_unique<Win32File>(handle, path, Kind::kRead),
                                       path);
}

bool FileExists(const std::string& path) {
  // Unlike a directory search, this never treats '*' or '?' as a pattern.
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  // Only the system's word that there is no such file makes it missing;
  // on any other failure opening it tells what is wrong.
  const DWORD error = ::GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
         error != ERROR_INVALID_NAME;
}

bool PrepareProcess() {
  // Without a standard output there is no console to report to.
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return output != nullptr && output != INVALID_HANDLE_VALUE;
}

const char* PathSeparators() { return "\\/:"; }

}  // namespace kv2pelmo
