// A raw file over a handle of the platform's: the transfers written once over each platform's
// calls.
#ifndef KV2PELMO_PLATFORM_SYSTEM_FILE_H_
#define KV2PELMO_PLATFORM_SYSTEM_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "io/raw_file.h"

namespace kv2pelmo {

/// A raw file over a handle it owns. Calls is the platform's: its Handle
/// type, the kNone handle, and Read, Write (each telling how much they
/// moved), Seek, Size and Close, which return false when they fail, and
/// kFindsHoles: when true, Find(handle, offset, data, at) tells where data
/// or a hole begins, false where the file system does not. Base is RawFile
/// or a class derived from it, such as the naming's held file.
template <typename Base, typename Calls>
class SystemFile : public Base {
 public:
  using Handle = typename Calls::Handle;

  /// Takes ownership of handle. error_kind is the kind of every error but a read's.
  SystemFile(Handle handle, std::string path, FileError::Kind error_kind)
      : handle_(handle), path_(std::move(path)), error_kind_(error_kind) {}
  ~SystemFile() override {
    if (handle_ != Calls::kNone) static_cast<void>(Calls::Close(handle_));
  }
  SystemFile(const SystemFile&) = delete;
  SystemFile& operator=(const SystemFile&) = delete;

  std::size_t ReadSome(void* data, std::size_t n) override {
    std::size_t got = 0;
    if (!Calls::Read(handle_, data, n, got)) throw FileError(FileError::Kind::kRead, path_);
    return got;
  }

  void WriteAll(const void* data, std::size_t n) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (n > 0) {
      std::size_t put = 0;
      if (!Calls::Write(handle_, bytes, n, put) || put == 0) {
        throw FileError(FileError::Kind::kWrite, path_);
      }
      bytes += put;
      n -= put;
    }
  }

  void Seek(std::uint64_t offset) override {
    if (!Calls::Seek(handle_, offset)) throw FileError(error_kind_, path_);
  }

  std::uint64_t Size() override {
    std::uint64_t size = 0;
    if (!Calls::Size(handle_, size)) throw FileError(error_kind_, path_);
    return size;
  }

  std::uint64_t NextDataFrom(std::uint64_t offset) override {
    std::uint64_t at = offset;
    if constexpr (Calls::kFindsHoles) {
      if (!Calls::Find(handle_, offset, true, at)) at = offset;
    }
    return at;
  }

  std::uint64_t NextHoleFrom(std::uint64_t offset) override {
    std::uint64_t at = 0;
    if constexpr (Calls::kFindsHoles) {
      if (Calls::Find(handle_, offset, false, at)) return at;
    }
    return this->Size();
  }

  void Close() override {
    if (handle_ == Calls::kNone) return;
    if (!Calls::Close(std::exchange(handle_, Calls::kNone))) throw FileError(error_kind_, path_);
  }

 protected:
  Handle handle_;
  std::string path_;
  FileError::Kind error_kind_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_SYSTEM_FILE_H_
