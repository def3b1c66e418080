// The page-aligned buffer both streams share.
#include "io/stream_buffer.h"

#include <new>

namespace kv2pelmo {

// Page-aligned: the kernel copies a read into a buffer that starts partway
// into a cache line several times slower, on some processors four times.
constexpr std::align_val_t kBufferAlignment{4096};

unsigned char* StreamBuffer::Get() {
  if (!bytes_) {
    bytes_.reset(static_cast<unsigned char*>(::operator new[](kStreamCapacity, kBufferAlignment)));
  }
  return bytes_.get();
}

void AlignedDelete::operator()(unsigned char* bytes) const {
  ::operator delete[](bytes, kBufferAlignment);
}

}  // namespace kv2pelmo
