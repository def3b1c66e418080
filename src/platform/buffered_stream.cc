// Read-ahead and write coalescing over a raw file.
#include "platform/buffered_stream.h"

#include <algorithm>
#include <new>

namespace kv2pelmo {

BufferedStream::BufferedStream(std::unique_ptr<RawFile> raw, std::string path)
    : raw_(std::move(raw)), path_(std::move(path)), size_(raw_->Size()) {}

BufferedStream::~BufferedStream() {
  try {
    FlushWrites();
  } catch (const FileError&) {
  }
}

void BufferedStream::ReadAll(void* data, std::size_t n) {
  auto* bytes = static_cast<unsigned char*>(data);
  while (n > 0) {
    const std::size_t got = ReadSome(bytes, n);
    if (got == 0) throw FileError(FileError::Kind::kRead, path_);
    bytes += got;
    n -= got;
  }
}

// Refills the read-ahead once it is all consumed; returns false at the end.
bool BufferedStream::ReadAhead() {
  FlushWrites();
  DropReadAhead();
  const std::size_t got = raw_->ReadSome(Buffer(), kCapacity);
  read_next_ = buffer_.get();
  read_end_ = read_next_ + got;
  return got > 0;
}

std::size_t BufferedStream::ReadSome(void* data, std::size_t n) {
  if (read_next_ == read_end_) {
    if (n >= kCapacity) {
      FlushWrites();
      DropReadAhead();
      const std::size_t got = raw_->ReadSome(data, n);
      buffer_offset_ += got;
      return got;
    }
    if (!ReadAhead()) return 0;
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
    raw_->WriteAll(data, n);
    buffer_offset_ += n;
    size_ = std::max(size_, buffer_offset_);
    return;
  }
  write_next_ = std::copy_n(static_cast<const unsigned char*>(data), n, Buffer());
  write_end_ = buffer_.get() + kCapacity;
}

void BufferedStream::SeekElsewhere(std::uint64_t offset) {
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
  raw_->WriteAll(buffer_.get(), count);
  buffer_offset_ += count;
  size_ = std::max(size_, buffer_offset_);
}

// The raw file has read ahead of the logical position; bring it back.
void BufferedStream::DropReadAhead() {
  if (read_end_ == nullptr) return;
  const std::uint64_t position = Position();
  const bool ahead = read_next_ != read_end_;
  read_next_ = read_end_ = nullptr;
  buffer_offset_ = position;
  if (ahead) raw_->Seek(position);
}

}  // namespace kv2pelmo
