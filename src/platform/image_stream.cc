// Write gathering over a raw file, and the buffer both streams share.
#include "platform/image_stream.h"

#include <algorithm>
#include <new>

namespace kv2pelmo {

ImageStream::ImageStream(std::unique_ptr<RawFile> raw, std::string path)
    : raw_(std::move(raw)), path_(std::move(path)), size_(raw_->Size()) {}

ImageStream::~ImageStream() {
  try {
    Flush();
  } catch (const FileError&) {
  }
}

void ImageStream::WriteAll(const void* data, std::size_t n) {
  if (n == 0) return;  // writing nothing must not move the end of the file
  Flush();
  if (n >= kDirectWrite) {
    raw_->WriteAll(data, n);
    buffer_offset_ += n;
    size_ = std::max(size_, buffer_offset_);
    return;
  }
  write_next_ = std::copy_n(static_cast<const unsigned char*>(data), n, buffer_.Get());
  write_end_ = buffer_.Peek() + kStreamCapacity;
}

void ImageStream::SeekElsewhere(std::uint64_t offset) {
  Flush();
  raw_->Seek(offset);
  buffer_offset_ = offset;
}

void ImageStream::Flush() {
  const auto count = static_cast<std::size_t>(write_next_ - buffer_.Peek());
  // Empty before writing: a failed flush is reported once, not again later.
  write_next_ = write_end_ = buffer_.Peek();
  if (count == 0) return;
  raw_->WriteAll(buffer_.Peek(), count);
  buffer_offset_ += count;
  size_ = std::max(size_, buffer_offset_);
}

void ImageStream::Close() {
  Flush();
  raw_->Close();
}

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
