// The Win32 files: the system file over a handle, and the held file of the naming.
#ifndef KV2PELMO_PLATFORM_WIN32_FILE_H_
#define KV2PELMO_PLATFORM_WIN32_FILE_H_

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "handover/file_system.h"
#include "platform/system_file.h"
#include "platform/win32_text.h"

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
  static constexpr bool kFindsHoles = false;  // a copy across volumes is made whole

 private:
  static DWORD Piece(std::size_t n) {
    return static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
  }
};

/// A raw file over a Win32 handle.
using Win32File = SystemFile<RawFile, Win32Calls>;

// The full NT form of path, as a rename through a handle wants it: \\?\ and
// \\.\ paths are that form already, \\server\share is UNC.
inline std::wstring FullPath(const std::string& path) {
  const std::wstring wide = Wide(path);
  const DWORD length = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  std::wstring full(length, L'\0');
  full.resize(::GetFullPathNameW(wide.c_str(), length, full.data(), nullptr));
  return full;
}

inline std::wstring NtPath(const std::string& path) {
  const std::wstring full = FullPath(path);
  if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) {
    return L"\\??\\" + full.substr(4);
  }
  if (full.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

// Some handles tell their file's id but not the rest, as those wine makes
// for a Linux shell's redirections do: their volume shows as 0.
inline Lookup IdOf(HANDLE handle) {
  Lookup found;
  FILE_ID_INFO id{};
  if (!::GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) return found;
  found.state = Lookup::State::kFound;
  std::memcpy(&found.facts.id.index, id.FileId.Identifier, sizeof found.facts.id.index);
  found.facts.id.volume = id.VolumeSerialNumber != 0 ? id.VolumeSerialNumber : FileId::kAnyVolume;
  found.facts.type = FileFacts::Type::kRegular;
  return found;
}

inline Lookup FactsOf(HANDLE handle) {
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
inline HANDLE OpenAttributes(const std::string& path, DWORD access, bool follow_links) {
  return ::CreateFileW(
      Wide(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

inline Lookup LookAt(const std::string& path, bool follow_links) {
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

// A file that one program has removed while another still has it open
// stays until that one closes it, and Windows denies every open of it
// meanwhile, even for its attributes, which a permission rarely does.
inline bool RemovalPending(const std::string& path) {
  return ::GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES &&
         ::GetLastError() == ERROR_ACCESS_DENIED;
}

// Why Windows refused to open path with error: another program's hold, or a
// permission, as far as it tells.
inline FileError::Reason OpenRefusal(DWORD error, const std::string& path) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
    return FileError::Reason::kHeld;
  }
  if (error != ERROR_ACCESS_DENIED) return FileError::Reason::kNone;
  return RemovalPending(path) ? FileError::Reason::kHeld : FileError::Reason::kDenied;
}

// Why Windows refused to name a file to, from the last error. Replacing a
// file that any program has open fails as a permission would: an open of
// it for removal, sharing everything, tells the two apart.
inline RenameResult RenameRefusal(const std::string& to) {
  const DWORD error = ::GetLastError();
  if (error == ERROR_NOT_SAME_DEVICE) return RenameResult::kCopyNeeded;
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return RenameResult::kHeld;
  if (error != ERROR_ACCESS_DENIED) return RenameResult::kFailed;
  const DWORD attributes = ::GetFileAttributesW(Wide(to).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD why = ::GetLastError();
    return why == ERROR_ACCESS_DENIED    ? RenameResult::kHeld    // its removal is pending
           : why == ERROR_FILE_NOT_FOUND ? RenameResult::kDenied  // the folder refuses
                                         : RenameResult::kFailed;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY)
    return RenameResult::kFailed;  // a folder is in the way
  if (attributes & FILE_ATTRIBUTE_READONLY) return RenameResult::kDenied;
  HANDLE probe = ::CreateFileW(Wide(to).c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    return ::GetLastError() == ERROR_SHARING_VIOLATION ? RenameResult::kHeld
                                                       : RenameResult::kDenied;
  }
  ::CloseHandle(probe);
  return RenameResult::kHeld;  // it could be removed, not replaced: a program has it open
}

// Marks the file open as handle for removal when its last handle closes,
// read-only or not.
inline RemoveResult Dispose(HANDLE handle) {
  FILE_BASIC_INFO basic{};
  if (::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
    basic.FileAttributes &= ~DWORD{FILE_ATTRIBUTE_READONLY};
    ::SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO dispose{TRUE};
  if (::SetFileInformationByHandle(handle, FileDispositionInfo, &dispose, sizeof dispose)) {
    return RemoveResult::kRemoved;
  }
  return ::GetLastError() == ERROR_ACCESS_DENIED ? RemoveResult::kDenied : RemoveResult::kFailed;
}

class Win32HeldFile final : public SystemFile<HeldFile, Win32Calls> {
 public:
  Win32HeldFile(HANDLE handle, const std::string& path, bool writable)
      : SystemFile(handle, path, FileError::Kind::kWrite), writable_(writable) {}

  Lookup Facts() override { return FactsOf(handle_); }
  bool Writable() const override { return writable_; }
  // The handle shares nothing: while it is open, no other program opens the file.
  LockResult TryLock() override { return LockResult::kAcquired; }
  bool Truncate() override {
    LARGE_INTEGER start{};
    return ::SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle_);
  }
  bool Sync() override { return ::FlushFileBuffers(handle_) != 0; }

  // Renames the held file itself, whatever its old name means by now.
  RenameResult RenameTo(const std::string& to, const std::string&) override {
    const std::wstring name = NtPath(to);
    std::vector<unsigned char> bytes(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(WCHAR));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(bytes.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
    std::copy(name.begin(), name.end(), info->FileName);
    if (::SetFileInformationByHandle(handle_, FileRenameInfo, info,
                                     static_cast<DWORD>(bytes.size()))) {
      return RenameResult::kRenamed;
    }
    return RenameRefusal(to);
  }

  // The name goes when this handle closes: it shares nothing, so no other
  // program keeps the file.
  RemoveResult RemoveName(const std::string& name) override {
    const Lookup held = Facts();
    if (!held.Found()) return RemoveResult::kFailed;
    const Lookup named = LookAt(name, false);
    if (named.state == Lookup::State::kUnknown) return RemoveResult::kFailed;
    return named.Is(held.facts.id) ? Dispose(handle_) : RemoveResult::kRemoved;
  }

 private:
  bool writable_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_WIN32_FILE_H_
