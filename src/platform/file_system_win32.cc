// The file system's primitives on Windows: handles that share nothing, renames through them.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "handover/file_system.h"
#include "platform/process.h"
#include "platform/win32_file.h"
#include "platform/win32_text.h"

namespace kv2pelmo {
namespace {

using Kind = FileError::Kind;

OpenResult Held(HANDLE handle, const std::string& path, bool writable) {
  return OpenResult{std::make_unique<Win32HeldFile>(handle, path, writable)};
}

OpenResult Refused(const std::string& path) {
  switch (::GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return OpenResult{nullptr, OpenFailure::kExists};
    case ERROR_FILE_NOT_FOUND:
      return OpenResult{nullptr, OpenFailure::kMissing};
    case ERROR_SHARING_VIOLATION:
      return OpenResult{nullptr, OpenFailure::kBusy};
    case ERROR_ACCESS_DENIED:  // or a removal that waits for another program
      return OpenResult{nullptr, RemovalPending(path) ? OpenFailure::kBusy : OpenFailure::kDenied};
    default:
      return OpenResult{nullptr, OpenFailure::kOther};
  }
}

// Read, write and remove, sharing nothing: the handle is the lock. A link is
// opened as itself, to be refused.
HANDLE OpenHeld(const std::string& path, DWORD access, DWORD disposition) {
  return ::CreateFileW(Wide(path).c_str(), access, 0, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

constexpr DWORD kHeldAccess = GENERIC_READ | GENERIC_WRITE | DELETE;

// Windows' own rule, which has changed between versions: a device's full
// path is \\.\NAME, with no directory in it.
bool NamesADevice(const std::string& path) {
  const std::wstring full = FullPath(path);
  const bool device_form = full.rfind(L"\\\\.\\", 0) == 0 || full.rfind(L"\\\\?\\", 0) == 0;
  return device_form && full.size() > 4 && full.find(L'\\', 4) == std::wstring::npos;
}

class Win32FileSystem final : public FileSystem {
 public:
  bool IsDevice(const std::string& path) override { return NamesADevice(path); }

  Lookup Look(const std::string& path, bool follow_links) override {
    return LookAt(path, follow_links);
  }

  std::unique_ptr<InputStream> OpenForReading(const std::string& path) override {
    HANDLE handle = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = ::GetLastError();
      throw FileError(Kind::kOpen, path, OpenRefusal(error, path));
    }
    return std::make_unique<InputStream>(std::make_unique<Win32File>(handle, path, Kind::kRead),
                                         path);
  }

  OpenResult Create(const std::string& path) override {
    HANDLE handle = OpenHeld(path, kHeldAccess, CREATE_NEW);
    return handle != INVALID_HANDLE_VALUE ? Held(handle, path, true) : Refused(path);
  }

  // Where writing is denied (a read-only file, say), a handle that can
  // still tell its facts and remove it.
  OpenResult OpenExisting(const std::string& path) override {
    HANDLE handle = OpenHeld(path, kHeldAccess, OPEN_EXISTING);
    if (handle != INVALID_HANDLE_VALUE) return Held(handle, path, true);
    if (::GetLastError() != ERROR_ACCESS_DENIED) return Refused(path);
    handle = ::CreateFileW(
        Wide(path).c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return handle != INVALID_HANDLE_VALUE ? Held(handle, path, false) : Refused(path);
  }

  OpenResult CreateAnonymous(const std::string&) override {
    return OpenResult{nullptr, OpenFailure::kUnsupported};
  }

  RenameResult Rename(const std::string& from, const std::string& to) override {
    if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return RenameResult::kRenamed;
    }
    return RenameRefusal(to);
  }

  // Windows tells whether a file is in use only to an open of it, which
  // this user was denied.
  InUse LockedByAnyone(const FileFacts&) override { return InUse::kUnknown; }

  // The limit is the volume's, in UTF-16 units: 255 on NTFS, FAT and exFAT.
  bool NameFits(const std::string& directory, const std::string& name) override {
    HANDLE handle = OpenAttributes(directory.empty() ? "." : directory, FILE_READ_ATTRIBUTES, true);
    if (handle == INVALID_HANDLE_VALUE) return true;
    DWORD longest = 0;
    const bool known = ::GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, &longest,
                                                       nullptr, nullptr, 0) != 0;
    ::CloseHandle(handle);
    return !known || Wide(name).size() <= longest;
  }

  std::vector<std::string> List(const std::string& directory) override {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = ::FindFirstFileW((Wide(directory) + L"*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      std::string name;
      if (Ansi(entry.cFileName, name)) names.push_back(name);
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
    return names;
  }

  // A rename is recorded in the volume's journal with the file flushed
  // before it; Windows has no call that brings a directory's entries to the
  // disk for a program without administrator rights.
  void SyncDirectory(const std::string&) override {}

  std::vector<Lookup> StandardStreams() override {
    std::vector<Lookup> streams;
    for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
      const HANDLE standard = ::GetStdHandle(which);
      Lookup found{Lookup::State::kMissing, {}};
      if (standard != nullptr && standard != INVALID_HANDLE_VALUE) {
        // A console or a pipe is no file the image could be written into;
        // a disk file whose identity cannot be read may be any.
        ::SetLastError(NO_ERROR);
        const DWORD type = ::GetFileType(standard);
        if (type == FILE_TYPE_DISK) found = FactsOf(standard);
        if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) found = Lookup{};
      }
      streams.push_back(found);
    }
    return streams;
  }

  void Sleep(int milliseconds) override { ::Sleep(static_cast<DWORD>(milliseconds)); }

  std::uint64_t UniqueNumber() override {
    static std::atomic<std::uint64_t> counter{0};
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    return static_cast<std::uint64_t>(now.QuadPart) ^
           (std::uint64_t{::GetCurrentProcessId()} << 40) ^ (counter++ << 20);
  }
};

}  // namespace

FileSystem& PlatformFileSystem() {
  static Win32FileSystem files;
  return files;
}

bool PrepareProcess() {
  // Without a standard output there is no console to report to. A closed
  // one may still show a handle (wine gives one for a closed descriptor):
  // writing nothing to a file or a console tells. Never to a pipe, whose
  // reader could take the empty write for its end.
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
  const DWORD type = ::GetFileType(output);
  DWORD written = 0;
  return (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) ||
         ::WriteFile(output, "", 0, &written, nullptr) != 0;
}

const char* PathSeparators() { return "\\/:"; }

std::string WithoutTrailingDotsAndSpaces(const std::string& path) {
  if (path.rfind("\\\\?\\", 0) == 0) return path;
  const std::size_t name = DirectoryOf(path).size();
  std::size_t end = path.find_last_not_of(". ");
  // A name of dots only ("..") is no name with an end to drop.
  if (end == std::string::npos || end < name) return path;
  return path.substr(0, end + 1);
}

}  // namespace kv2pelmo
