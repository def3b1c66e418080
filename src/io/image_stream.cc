// Write gathering over a raw file.
#include "io/image_stream.h"

#include <algorithm>
#include <utility>

namespace kv2pelmo {

namespace {

// Where the raw file stands after a write that failed part-way; also no
// offset at all.
constexpr std::uint64_t kUnknown = ~std::uint64_t{0};

}  // namespace

ImageStream::ImageStream(std::unique_ptr<RawFile> raw, std::string path)
    : raw_(std::move(raw)), path_(std::move(path)), size_(raw_->Size()), raw_end_(size_) {}

ImageStream::~ImageStream() {
  try {
    Flush();
  } catch (const FileError&) {
  }
}

// Ends appending: the current window keeps what was appended to it.
void ImageStream::EndAppend() {
  if (current_ == nullptr) return;
  const std::uint64_t position = Position();
  current_->length =
      std::max(current_->length, static_cast<std::size_t>(append_next_ - current_->buffer.Peek()));
  size_ = std::max(size_, current_->End());
  append_base_ = position;
  append_next_ = append_end_ = append_start_ = nullptr;
  current_ = nullptr;
}

// Writes that follow go straight into window from offset at, which lies in
// its stretch or at its end, up to its capacity or next, where the next
// window's stretch begins, whichever comes first.
void ImageStream::Append(Window& window, std::uint64_t at, std::uint64_t next) {
  const std::uint64_t limit = std::min(window.offset + kStreamCapacity, next);
  unsigned char* bytes = window.buffer.Get();
  current_ = &window;
  window.used = ++uses_;
  append_base_ = at;
  append_start_ = append_next_ = bytes + (at - window.offset);
  append_end_ = bytes + (limit - window.offset);
}

// Where the first stretch of a window other than self begins at or after at.
std::uint64_t ImageStream::NextStretch(std::uint64_t at, const Window* self) const {
  std::uint64_t next = kUnknown;
  for (const Window& window : windows_) {
    if (&window != self && window.length > 0 && window.offset >= at) {
      next = std::min(next, window.offset);
    }
  }
  return next;
}

// A seek into a window's stretch appends there; a seek to a window's end
// appends after it, where no other stretch begins. One pass finds both.
void ImageStream::SeekElsewhere(std::uint64_t offset) {
  EndAppend();
  append_base_ = offset;
  Window* inside = nullptr;
  Window* ending = nullptr;
  std::uint64_t next = kUnknown;
  for (Window& window : windows_) {
    if (window.length == 0) continue;
    if (window.offset <= offset && offset < window.End()) {
      inside = &window;
    } else if (offset == window.End()) {
      ending = &window;
    } else if (window.offset > offset) {
      next = std::min(next, window.offset);
    }
  }
  if (Window* found = inside != nullptr ? inside : ending) Append(*found, offset, next);
}

void ImageStream::WriteAll(const void* data, std::size_t n) {
  if (n == 0) return;  // writing nothing must not move the end of the file
  EndAppend();
  const std::uint64_t at = append_base_;
  const std::uint64_t end = at + n;
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (n >= kDirectWrite) {
    FlushOverlapping(at, end, kWindows);  // their older bytes first
    if (raw_position_ != at) raw_->Seek(at);
    raw_position_ = kUnknown;
    WriteAllAt(*raw_, raw_end_, at, bytes, n);
    raw_position_ = end;
    raw_end_ = std::max(raw_end_, end);
  } else {
    Window& window = WindowFor(at, n);
    FlushOverlapping(at, end, static_cast<std::size_t>(&window - windows_.data()));
    std::copy_n(bytes, n, window.buffer.Get() + (at - window.offset));
    window.length = std::max(window.length, static_cast<std::size_t>(end - window.offset));
    window.used = ++uses_;
    if (end < window.offset + kStreamCapacity) Append(window, end, NextStretch(end, &window));
  }
  size_ = std::max(size_, end);
  if (current_ == nullptr) append_base_ = end;
}

// Returns the window that holds or ends at offset with room for n bytes
// there; else the one given up, empty or the least lately written, after
// it is written out.
ImageStream::Window& ImageStream::WindowFor(std::uint64_t offset, std::size_t n) {
  const auto holding = std::find_if(windows_.begin(), windows_.end(), [&](const Window& window) {
    return window.length > 0 && window.offset <= offset && offset <= window.End() &&
           offset + n <= window.offset + kStreamCapacity;
  });
  if (holding != windows_.end()) return *holding;
  const auto last_use = [](const Window& window) { return window.length == 0 ? 0 : window.used; };
  Window& oldest = *std::min_element(
      windows_.begin(), windows_.end(),
      [&](const Window& a, const Window& b) { return last_use(a) < last_use(b); });
  Write(oldest);
  oldest.offset = offset;
  return oldest;
}

// Windows whose bytes a write over [offset, end) is newer than go to the
// file before it: what they hold beyond it stays, what it covers is replaced.
// The window numbered keep (kWindows: none) takes the write itself.
void ImageStream::FlushOverlapping(std::uint64_t offset, std::uint64_t end, std::size_t keep) {
  for (std::size_t i = 0; i < kWindows; ++i) {
    Window& window = windows_[i];
    if (i != keep && window.length > 0 && window.offset < end && offset < window.End()) {
      Write(window);
    }
  }
}

void ImageStream::Write(Window& window) {
  // Emptied before writing: a failed write is reported once, not again later.
  const std::size_t length = std::exchange(window.length, 0);
  if (length == 0) return;
  if (raw_position_ != window.offset) raw_->Seek(window.offset);
  raw_position_ = kUnknown;
  WriteAllAt(*raw_, raw_end_, window.offset, window.buffer.Peek(), length);
  raw_position_ = window.offset + length;
  raw_end_ = std::max(raw_end_, raw_position_);
}

void ImageStream::Flush() {
  EndAppend();
  // In order of their offsets, as the file is laid out.
  const auto place = [](const Window& window) {
    return window.length == 0 ? kUnknown : window.offset;
  };
  for (;;) {
    Window& first =
        *std::min_element(windows_.begin(), windows_.end(),
                          [&](const Window& a, const Window& b) { return place(a) < place(b); });
    if (first.length == 0) return;
    Write(first);
  }
}

void ImageStream::Close() {
  Flush();
  raw_->Close();
}

}  // namespace kv2pelmo
