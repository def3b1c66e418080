// Platform-independent parts of the stream layer.
#include "platform/stream.h"

namespace kv2pelmo {

void Stream::ReadAll(void* data, std::size_t n) {
  auto* bytes = static_cast<unsigned char*>(data);
  while (n > 0) {
    std::size_t got = ReadSome(bytes, n);
    if (got == 0) throw FileError("Stream read error");
    bytes += got;
    n -= got;
  }
}

}  // namespace kv2pelmo
