// The waits of a run: polls, the notice after a second, the bounds.
#include "handover/waiting.h"

namespace kv2pelmo {

void Waiter::Wait() {
  if (waited_ >= kLongWaitMilliseconds && !std::exchange(told_, true)) notice_(path_);
  retries_ = 0;
  files_.Sleep(kPollMilliseconds);
  waited_ += kPollMilliseconds;
}

bool Waiter::WaitWithin(int bound_milliseconds) {
  if (waited_ >= bound_milliseconds) return false;
  Wait();
  return true;
}

bool Waiter::RetryWithinGrace() {
  if (grace_used_ >= kGraceMilliseconds) return false;
  grace_used_ += kPollMilliseconds;
  Wait();
  return true;
}

void Waiter::CountRetry(const std::string& path) {
  if (++retries_ > kMostRetries) throw FileError(FileError::Kind::kCreate, path);
}

std::unique_ptr<InputStream> OpenWhenReleased(FileSystem& files, const std::string& path,
                                              const OnLongWait& notice) {
  Waiter waiter(files, path, notice);
  for (;;) {
    try {
      return files.OpenForReading(path);
    } catch (const FileError& error) {
      if (error.reason() != FileError::Reason::kHeld ||
          !waiter.WaitWithin(kHoldBoundMilliseconds)) {
        throw;
      }
    }
  }
}

}  // namespace kv2pelmo
