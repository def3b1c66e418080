// The temporary image on Windows: a no-sharing handle to take turns, renamed through that handle.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/temporary_image.h"
#include "platform/win32_file.h"

namespace kv2pelmo {
namespace {

using Kind = FileError::Kind;

// Returns the identity of the file path names (not of a link's target), or
// false when it cannot be had.
bool FileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  // Asking for attributes only: no sharing mode stands in the way.
  HANDLE handle = ::CreateFileA(
      path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
  ::CloseHandle(handle);
  return known;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// True when the file is one of spared or the standard input, output or error:
// those the image must never be written over.
bool IsAnyOf(const BY_HANDLE_FILE_INFORMATION& image, const std::vector<std::string>& spared) {
  for (const std::string& other : spared) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (FileIdentity(other, info) && SameFile(info, image)) return true;
  }
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    BY_HANDLE_FILE_INFORMATION info{};
    const HANDLE standard = ::GetStdHandle(which);
    if (standard != nullptr && standard != INVALID_HANDLE_VALUE &&
        ::GetFileInformationByHandle(standard, &info) && SameFile(info, image)) {
      return true;
    }
  }
  return false;
}

// The full NT form of path, as a rename through a handle wants it.
std::wstring NtPath(const std::string& path) {
  const int length = ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), length);
  const DWORD full_length = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  std::wstring full(full_length, L'\0');
  full.resize(::GetFullPathNameW(wide.c_str(), full_length, full.data(), nullptr));
  if (full.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

class Win32TemporaryImage final : public TemporaryImage {
 public:
  Win32TemporaryImage(HANDLE handle, const std::string& path)
      : handle_(handle),
        path_(path),
        stream_(std::make_unique<Win32File>(handle, path, Kind::kWrite), path) {}

  ImageStream& Stream() override { return stream_; }

  void Sync() override {
    stream_.Flush();
    if (!::FlushFileBuffers(handle_)) throw FileError(Kind::kWrite, path_);
  }

  void MoveTo(const std::string& to) override {
    if (!RenameThroughHandle(to)) {
      if (::GetLastError() != ERROR_NOT_SAME_DEVICE) throw FileError(Kind::kRename, path_, to);
      CopyAs(to);
    }
    stream_.Close();
  }

 private:
  // Renames the held file itself, whatever its old name means by now.
  bool RenameThroughHandle(const std::string& to) {
    const std::wstring name = NtPath(to);
    std::vector<unsigned char> bytes(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(WCHAR));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(bytes.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(WCHAR));
    std::copy(name.begin(), name.end(), info->FileName);
    return ::SetFileInformationByHandle(handle_, FileRenameInfo, info,
                                        static_cast<DWORD>(bytes.size())) != 0;
  }

  // Across volumes: a copy of the held file beside to, moved over it when
  // whole; the temporary image goes when it is closed.
  void CopyAs(const std::string& to) {
    std::string dir = DirectoryOf(to);
    if (dir.empty()) dir = ".";
    char part[MAX_PATH];
    if (::GetTempFileNameA(dir.c_str(), "kv2", 0, part) == 0) {
      throw FileError(Kind::kRename, path_, to);
    }
    if (!CopyInto(part) || !::MoveFileExA(part, to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      ::DeleteFileA(part);
      throw FileError(Kind::kRename, path_, to);
    }
    FILE_DISPOSITION_INFO dispose{TRUE};
    ::SetFileInformationByHandle(handle_, FileDispositionInfo, &dispose, sizeof dispose);
  }

  // Copies the held file, from its start, to a new file part and flushes
  // the copy to the disk; false when that fails.
  bool CopyInto(const char* part) {
    HANDLE out = ::CreateFileA(part, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE in = INVALID_HANDLE_VALUE;
    if (out == INVALID_HANDLE_VALUE) return false;
    Win32File copy(out, part, Kind::kWrite);
    if (!::DuplicateHandle(::GetCurrentProcess(), handle_, ::GetCurrentProcess(), &in, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
      return false;
    }
    Win32File image(in, path_, Kind::kRead);
    try {
      image.Seek(0);
      CopyRest(image, copy);
      if (!::FlushFileBuffers(out)) return false;
      copy.Close();
    } catch (const FileError&) {
      return false;
    }
    return true;
  }

  HANDLE handle_;  // owned by the stream's file
  std::string path_;
  ImageStream stream_;
};

}  // namespace

std::unique_ptr<TemporaryImage> TemporaryImage::Create(const std::string& path,
                                                       const std::vector<std::string>& spared,
                                                       const std::function<void()>& on_long_wait) {
  // A link of that name would send the truncation to another file.
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  BY_HANDLE_FILE_INFORMATION old{};
  const bool exists = FileIdentity(path, old);
  if ((attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) ||
      (exists && IsAnyOf(old, spared))) {
    throw FileError(Kind::kCreate, path);
  }
  constexpr int kPollMilliseconds = 20;
  for (int waited = 0;; waited += kPollMilliseconds) {
    // Through another name of the file the truncation would reach it too:
    // that name is removed and the image made anew. No sharing: while
    // another run holds the image, either fails with a sharing violation,
    // and this run waits its turn.
    BY_HANDLE_FILE_INFORMATION info{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!FileIdentity(path, info) || info.nNumberOfLinks <= 1 || ::DeleteFileA(path.c_str())) {
      handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr);
    }
    if (handle != INVALID_HANDLE_VALUE) return std::make_unique<Win32TemporaryImage>(handle, path);
    if (::GetLastError() != ERROR_SHARING_VIOLATION) throw FileError(Kind::kCreate, path);
    if (waited == kLongWaitMilliseconds) on_long_wait();
    ::Sleep(kPollMilliseconds);
  }
}

}  // namespace kv2pelmo
