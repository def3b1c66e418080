// The file system's primitives on Windows: handles that share nothing, renames through them.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/win32_file.h"
#include "platform/win32_text.h"

namespace kv2pelmo {
namespace {

using Kind = FileError::Kind;

// The full NT form of path, as a rename through a handle wants it: \\?\ and
// \\.\ paths are that form already, \\server\share is UNC.
std::wstring FullPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  const DWORD length = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  std::wstring full(length, L'\0');
  full.resize(::GetFullPathNameW(wide.c_str(), length, full.data(), nullptr));
  return full;
}

std::wstring NtPath(const std::string& path) {
  const std::wstring full = FullPath(path);
  if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) {
    return L"\\??\\" + full.substr(4);
  }
  if (full.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

// Some handles tell their file's id but not the rest, as those wine makes
// for a Linux shell's redirections do: their volume shows as 0.
Lookup IdOf(HANDLE handle) {
  Lookup found;
  FILE_ID_INFO id{};
  if (!::GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) return found;
  found.state = Lookup::State::kFound;
  std::memcpy(&found.facts.id.index, id.FileId.Identifier, sizeof found.facts.id.index);
  found.facts.id.volume = id.VolumeSerialNumber != 0 ? id.VolumeSerialNumber : FileId::kAnyVolume;
  found.facts.type = FileFacts::Type::kRegular;
  return found;
}

Lookup FactsOf(HANDLE handle) {
  Lookup found;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return IdOf(handle);
  using Type = FileFacts::Type;
  found.state = Lookup::State::kFound;
  found.facts.id = {info.dwVolumeSerialNumber,
                    (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  found.facts.type = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? Type::kLink
                     : (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? Type::kDirectory
                     : ::GetFileType(handle) == FILE_TYPE_DISK              ? Type::kRegular
                                                                            : Type::kOther;
  found.facts.links = info.nNumberOfLinks;
  found.facts.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return found;  // no owner or mode rule: a new file takes the directory's permissions
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens path for its attributes only, which no sharing mode stands in the way of.
HANDLE OpenAttributes(const std::string& path, DWORD access, bool follow_links) {
  return ::CreateFileW(
      Wide(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

Lookup LookAt(const std::string& path, bool follow_links) {
  HANDLE handle = OpenAttributes(path, FILE_READ_ATTRIBUTES, follow_links);
  if (handle == INVALID_HANDLE_VALUE) {
    // A name with '*' or '?' is invalid, never a pattern.
    const DWORD error = ::GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                         error == ERROR_INVALID_NAME;
    return Lookup{missing ? Lookup::State::kMissing : Lookup::State::kUnknown, {}};
  }
  const Lookup found = FactsOf(handle);
  ::CloseHandle(handle);
  return found;
}

// Marks the file open as handle for removal when its last handle closes,
// read-only or not.
Removal Dispose(HANDLE handle) {
  FILE_BASIC_INFO basic{};
  if (::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
    basic.FileAttributes &= ~DWORD{FILE_ATTRIBUTE_READONLY};
    ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO dispose{TRUE};
  if (::SetFileInformationByHandle(handle, FileDispositionInfo, &dispose, sizeof dispose)) {
    return Removal::kRemoved;
  }
  return ::GetLastError() == ERROR_ACCESS_DENIED ? Removal::kDenied : Removal::kFailed;
}

class Win32HeldFile final : public SystemFile<HeldFile, Win32Calls> {
 public:
  Win32HeldFile(HANDLE handle, const std::string& path, bool writable)
      : SystemFile(handle, path, Kind::kWrite), writable_(writable) {}

  Lookup Facts() override { return FactsOf(handle_); }
  bool Writable() const override { return writable_; }
  // The handle shares nothing: while it is open, no other program opens the file.
  Lock TryLock() override { return Lock::kHeld; }
  bool Truncate() override {
    LARGE_INTEGER start{};
    return ::SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle_);
  }
  bool Sync() override { return ::FlushFileBuffers(handle_) != 0; }

  // Renames the held file itself, whatever its old name means by now.
  Named NameAs(const std::string& to, const std::string&) override {
    const std::wstring name = NtPath(to);
    std::vector<unsigned char> bytes(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(WCHAR));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(bytes.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
    std::copy(name.begin(), name.end(), info->FileName);
    if (::SetFileInformationByHandle(handle_, FileRenameInfo, info,
                                     static_cast<DWORD>(bytes.size()))) {
      return Named::kNamed;
    }
    return ::GetLastError() == ERROR_NOT_SAME_DEVICE ? Named::kOtherVolume : Named::kFailed;
  }

  // The name goes when this handle closes: it shares nothing, so no other
  // program keeps the file.
  Removal Unname(const std::string& name) override {
    const Lookup held = Facts();
    if (!held.Found()) return Removal::kFailed;
    const Lookup named = LookAt(name, false);
    if (named.state == Lookup::State::kUnknown) return Removal::kFailed;
    return named.Is(held.facts.id) ? Dispose(handle_) : Removal::kRemoved;
  }

 private:
  bool writable_;
};

Opened Held(HANDLE handle, const std::string& path, bool writable) {
  return Opened{std::make_unique<Win32HeldFile>(handle, path, writable)};
}

Opened Refused() {
  switch (::GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return Opened{nullptr, OpenFailure::kExists};
    case ERROR_FILE_NOT_FOUND:
      return Opened{nullptr, OpenFailure::kMissing};
    case ERROR_SHARING_VIOLATION:
      return Opened{nullptr, OpenFailure::kBusy};
    case ERROR_ACCESS_DENIED:
      return Opened{nullptr, OpenFailure::kDenied};
    default:
      return Opened{nullptr, OpenFailure::kOther};
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
    if (handle == INVALID_HANDLE_VALUE) throw FileError(Kind::kOpen, path);
    return std::make_unique<InputStream>(std::make_unique<Win32File>(handle, path, Kind::kRead),
                                         path);
  }

  // Nothing removes a partial copy when the process is ended: the next run
  // that names an image beside it sweeps it.
  Opened Create(const std::string& path, bool) override {
    HANDLE handle = OpenHeld(path, kHeldAccess, CREATE_NEW);
    return handle != INVALID_HANDLE_VALUE ? Held(handle, path, true) : Refused();
  }

  // Where writing is denied (a read-only file, say), a handle that can
  // still tell its facts and remove it.
  Opened OpenExisting(const std::string& path) override {
    HANDLE handle = OpenHeld(path, kHeldAccess, OPEN_EXISTING);
    if (handle != INVALID_HANDLE_VALUE) return Held(handle, path, true);
    if (::GetLastError() != ERROR_ACCESS_DENIED) return Refused();
    handle = ::CreateFileW(
        Wide(path).c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, 0, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return handle != INVALID_HANDLE_VALUE ? Held(handle, path, false) : Refused();
  }

  Opened CreateNameless(const std::string&) override {
    return Opened{nullptr, OpenFailure::kUnsupported};
  }

  Named Rename(const std::string& from, const std::string& to) override {
    if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return Named::kNamed;
    }
    return ::GetLastError() == ERROR_NOT_SAME_DEVICE ? Named::kOtherVolume : Named::kFailed;
  }

  Removal Remove(const std::string& path, const FileId& id) override {
    HANDLE handle =
        OpenAttributes(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, false);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) return Removal::kRemoved;
      return error == ERROR_ACCESS_DENIED ? Removal::kDenied : Removal::kFailed;
    }
    const Removal removal = FactsOf(handle).Is(id) ? Dispose(handle) : Removal::kRemoved;
    ::CloseHandle(handle);
    return removal;
  }

  // Windows tells whether a file is in use only to an open of it, which
  // this user was denied.
  InUse LockedByAnyone(const FileFacts&) override { return InUse::kUnknown; }

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

std::string AsTheSystemTakesIt(const std::string& path) {
  if (path.rfind("\\\\?\\", 0) == 0) return path;
  const std::size_t name = DirectoryOf(path).size();
  std::size_t end = path.find_last_not_of(". ");
  // A name of dots only ("..") is no name with an end to drop.
  if (end == std::string::npos || end < name) return path;
  return path.substr(0, end + 1);
}

}  // namespace kv2pelmo
