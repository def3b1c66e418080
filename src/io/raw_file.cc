// The whole-file copy, written once over any two raw files.
#include "io/raw_file.h"

#include <algorithm>
#include <vector>

namespace kv2pelmo {

// The size the system reports after such a refusal may already count
// space it gave the file, so the zeros begin where the written bytes end.
void WriteAllAt(RawFile& file, std::uint64_t end, std::uint64_t at, const void* data,
                std::size_t n) {
  if (at <= end || file.TakesWritesPastTheEnd()) {
    try {
      file.WriteAll(data, n);
      return;
    } catch (const FileError&) {
      if (at <= end) throw;  // refused for another cause
    }
  }
  const std::vector<unsigned char> zeros(std::size_t{1} << 16, 0);
  file.Seek(end);
  while (end < at) {
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), at - end));
    file.WriteAll(zeros.data(), size);
    end += size;
  }
  file.WriteAll(data, n);
}

void CopyWhole(RawFile& from, RawFile& to) {
  std::vector<unsigned char> chunk(std::size_t{1} << 16);
  const std::uint64_t size = from.Size();
  std::uint64_t written = 0;  // where the bytes copied end
  for (std::uint64_t at = from.NextDataFrom(0); at < size; at = from.NextDataFrom(at)) {
    std::uint64_t end = std::min(from.NextHoleFrom(at), size);
    if (end <= at) end = size;  // a file system that tells nonsense gets a plain copy
    from.Seek(at);
    to.Seek(at);
    for (; at < end;) {
      const std::size_t got = from.ReadSome(
          chunk.data(), static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), end - at)));
      if (got == 0) throw FileError(FileError::Kind::kRead, "copy");
      WriteAllAt(to, written, at, chunk.data(), got);
      at += got;
      written = at;
    }
  }
  // A file that ends in a hole still ends where from does.
  if (written < size) {
    constexpr unsigned char kZero = 0;
    to.Seek(size - 1);
    WriteAllAt(to, written, size - 1, &kZero, 1);
  }
  // A copy shorter than what was written to it has lost bytes (a driver
  // that dropped them): a failure, never a copy to patch up and name.
  if (to.Size() != size) throw FileError(FileError::Kind::kWrite, "copy");
}

}  // namespace kv2pelmo
