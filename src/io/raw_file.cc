// The whole-file copy, written once over any two raw files.
#include "io/raw_file.h"

#include <algorithm>
#include <vector>

namespace kv2pelmo {

void CopyWhole(RawFile& from, RawFile& to) {
  std::vector<unsigned char> chunk(std::size_t{1} << 16);
  const std::uint64_t size = from.Size();
  for (std::uint64_t at = from.DataFrom(0); at < size; at = from.DataFrom(at)) {
    std::uint64_t end = std::min(from.HoleFrom(at), size);
    if (end <= at) end = size;  // a file system that tells nonsense gets a plain copy
    from.Seek(at);
    to.Seek(at);
    for (; at < end;) {
      const std::size_t got = from.ReadSome(
          chunk.data(), static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), end - at)));
      if (got == 0) throw FileError(FileError::Kind::kRead, "copy");
      to.WriteAll(chunk.data(), got);
      at += got;
    }
  }
  // A file that ends in a hole still ends where from does.
  if (to.Size() < size) {
    constexpr unsigned char kZero = 0;
    to.Seek(size - 1);
    to.WriteAll(&kZero, 1);
  }
}

}  // namespace kv2pelmo
