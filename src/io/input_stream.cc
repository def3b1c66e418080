// Read-ahead over a raw file.
#include "io/input_stream.h"

#include <algorithm>

namespace kv2pelmo {

void InputStream::ReadAll(unsigned char* data, std::size_t n) {
  while (n > 0) {
    if (read_next_ == read_end_) {
      if (n >= kStreamCapacity) {  // too large to gain from the buffer
        buffer_offset_ = Position();
        read_next_ = read_end_ = buffer_.Peek();
        const std::size_t got = raw_->ReadSome(data, n);
        if (got == 0) throw CutShort();
        buffer_offset_ += got;
        data += got;
        n -= got;
        continue;
      }
      if (!ReadAhead()) throw CutShort();
    }
    const std::size_t take = std::min(n, static_cast<std::size_t>(read_end_ - read_next_));
    std::copy_n(read_next_, take, data);
    read_next_ += take;
    data += take;
    n -= take;
  }
}

FileError InputStream::CutShort() const {
  return FileError(FileError::Kind::kRead, path_, FileError::Reason::kEndOfFile);
}

// Refills the read-ahead once it is all consumed; returns false at the end.
bool InputStream::ReadAhead() {
  buffer_offset_ = Position();
  const std::size_t got = raw_->ReadSome(buffer_.Get(), kStreamCapacity);
  read_next_ = buffer_.Peek();
  read_end_ = read_next_ + got;
  return got > 0;
}

}  // namespace kv2pelmo
