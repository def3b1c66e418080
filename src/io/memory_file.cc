// Transfers of the in-memory file.
#include "io/memory_file.h"

#include <algorithm>
#include <cstring>

namespace kv2pelmo {

std::size_t MemoryFile::ReadSome(void* data, std::size_t n) {
  if (position_ >= bytes_.size()) return 0;
  n = std::min({n, max_read_, static_cast<std::size_t>(bytes_.size() - position_)});
  std::memcpy(data, bytes_.data() + position_, n);
  position_ += n;
  return n;
}

void MemoryFile::WriteAll(const void* data, std::size_t n) {
  if (n == 0) return;
  if (bytes_.size() < position_ + n) bytes_.resize(position_ + n);
  std::memcpy(bytes_.data() + position_, data, n);
  position_ += n;
}

}  // namespace kv2pelmo
