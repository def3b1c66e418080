// Read-ahead and write coalescing over a raw stream.
//
// At any time the buffer is idle, holds read-ahead (read_next_ to read_end_
// unconsumed, the raw stream at read_end_) or holds pending writes (from its
// start to write_next_, the raw stream at buffer_offset_).
#include "platform/buffered_stream.h"

#include <algorithm>
#include <new>

namespace kv2pelmo {

BufferedStream::BufferedStream(std::unique_ptr<Stream> raw)
    : raw_(std::move(raw)), size_(raw_->Size()) {}

BufferedStream::~BufferedStream() {
  try {
    FlushWrites();
  } catch (const FileError&) {
  }
}

std::uint64_t BufferedStream::Position() {
  if (read_end_ != nullptr) return buffer_offset_ + (read_next_ - buffer_.get());
  if (write_end_ != nullptr) return buffer_offset_ + (write_next_ - buffer_.get());
  return buffer_offset_;
}

std::uint64_t BufferedStream::Size() {
  return write_end_ != nullptr ? std::max(size_, Position()) : size_;
}

std::size_t BufferedStream::ReadSome(void* data, std::size_t n) {
  FlushWrites();
  if (read_next_ == read_end_) {
    DropReadAhead();
    if (n >= kCapacity) {
      const std::size_t got = raw_->ReadSome(data, n);
      buffer_offset_ += got;
      return got;
    }
    const std::size_t got = raw_->ReadSome(Buffer(), kCapacity);
    read_next_ = buffer_.get();
    read_end_ = read_next_ + got;
  }
  const std::size_t take = std::min(n, static_cast<std::size_t>(read_end_ - read_next_));
  std::copy_n(read_next_, take, static_cast<unsigned char*>(data));
  read_next_ += take;
  return take;
}

void BufferedStream::WriteAll(const void* data, std::size_t n) {
  if (n == 0) return;  // writing nothing must not move the end of the file
  DropReadAhead();
  FlushWrites();
  if (n >= kDirectWrite) {
    raw_->WriteExactly(data, n);
    buffer_offset_ += n;
    size_ = std::max(size_, buffer_offset_);
    return;
  }
  write_next_ = std::copy_n(static_cast<const unsigned char*>(data), n, Buffer());
  write_end_ = buffer_.get() + kCapacity;
}

void BufferedStream::Seek(std::uint64_t offset) {
  // Placing the next block right after the last one is the common case.
  if (offset == Position()) return;
  FlushWrites();
  DropReadAhead();
  raw_->Seek(offset);
  buffer_offset_ = offset;
}

void BufferedStream::Close() {
  FlushWrites();
  raw_->Close();
}

// Page-aligned: the kernel copies a read into a buffer that starts partway
// into a cache line several times slower, on some processors four times.
constexpr std::align_val_t kBufferAlignment{4096};

unsigned char* BufferedStream::Buffer() {
  if (!buffer_) {
    buffer_.reset(static_cast<unsigned char*>(::operator new[](kCapacity, kBufferAlignment)));
  }
  return buffer_.get();
}

void BufferedStream::AlignedDelete::operator()(unsigned char* bytes) const {
  ::operator delete[](bytes, kBufferAlignment);
}

void BufferedStream::FlushWrites() {
  if (write_end_ == nullptr) return;
  const auto count = static_cast<std::size_t>(write_next_ - buffer_.get());
  // Idle before writing: a failed flush is reported once, not again later.
  write_next_ = write_end_ = nullptr;
  raw_->WriteExactly(buffer_.get(), count);
  buffer_offset_ += count;
  size_ = std::max(size_, buffer_offset_);
}

// The raw stream has read ahead of the logical position; bring it back.
void BufferedStream::DropReadAhead() {
  if (read_end_ == nullptr) return;
  const std::uint64_t position = Position();
  const bool ahead = read_next_ != read_end_;
  read_next_ = read_end_ = nullptr;
  buffer_offset_ = position;
  if (ahead) raw_->Seek(position);
}

}  // namespace kv2pelmo
