// Waiting for a file that another program holds open, and opening an input so.
#include "handover/hold_wait.h"

namespace kv2pelmo {

bool HoldWait::Wait() {
  if (waited_ >= kHoldBoundMilliseconds) return false;
  if (waited_ == kLongWaitMilliseconds) notice_(path_);
  files_.Sleep(kPollMilliseconds);
  waited_ += kPollMilliseconds;
  return true;
}

std::unique_ptr<InputStream> OpenWhenReleased(FileSystem& files, const std::string& path,
                                              const LongWaitNotice& notice) {
  HoldWait wait(files, path, notice);
  for (;;) {
    try {
      return files.OpenForReading(path);
    } catch (const FileError& error) {
      if (error.reason() != FileError::Reason::kHeld || !wait.Wait()) throw;
    }
  }
}

}  // namespace kv2pelmo
