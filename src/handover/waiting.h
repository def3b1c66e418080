// Waiting for a file another run or program holds: polled, told after a second, bounded.
#ifndef KV2PELMO_HANDOVER_WAITING_H_
#define KV2PELMO_HANDOVER_WAITING_H_

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "handover/file_system.h"
#include "io/input_stream.h"

namespace kv2pelmo {

/// How long a run waits before it says so.
constexpr int kLongWaitMilliseconds = 1000;
/// How long a run waits for a file that another program holds (a scanner,
/// an indexer, a preview) before it refuses: such holds last a moment.
constexpr int kHoldBoundMilliseconds = 3000;
/// How long a run waits for another user's leftover whose lock it cannot
/// see, which may be a live run's, before it refuses.
constexpr int kUnseenLockBoundMilliseconds = 15000;

/// Called once a wait for the file at the path given has lasted about a second.
using OnLongWait = std::function<void(const std::string& path)>;

/// The waits of a run for one file, in polls: told once when they add up
/// to a second, and bounded.
class Waiter {
 public:
  /// Waits for the file at path; notice is told of it once.
  Waiter(FileSystem& files, std::string path, const OnLongWait& notice)
      : files_(files), path_(std::move(path)), notice_(notice) {}
  /// Waits a poll's time.
  void Wait();
  /// Waits a poll's time and returns true; returns false, without
  /// waiting, once the waits add up to bound_milliseconds.
  bool WaitWithin(int bound_milliseconds);
  /// A leftover that looks dead and cannot be removed may be a run's that
  /// has just made it and not yet locked it: it is looked at again for a
  /// fifth of a second. Waits and returns true, or false once that is over.
  bool RetryWithinGrace();
  /// Every try but a wait must come nearer: a file system that always says
  /// "again" fails the run rather than spinning. Throws FileError(kCreate)
  /// for path after too many tries in a row.
  void CountRetry(const std::string& path);

 private:
  static constexpr int kPollMilliseconds = 20;
  static_assert(kLongWaitMilliseconds % kPollMilliseconds == 0);
  static constexpr int kGraceMilliseconds = 200;
  static constexpr int kMostRetries = 1000;
  FileSystem& files_;
  std::string path_;
  const OnLongWait& notice_;
  int waited_ = 0;
  int grace_used_ = 0;
  int retries_ = 0;
  bool told_ = false;
};

/// Opens path for reading as files.OpenForReading does, waiting while
/// another program holds it. Throws FileError(kOpen), with Reason kHeld when
/// it is still held after kHoldBoundMilliseconds.
std::unique_ptr<InputStream> OpenWhenReleased(FileSystem& files, const std::string& path,
                                              const OnLongWait& notice);

}  // namespace kv2pelmo

#endif  // KV2PELMO_HANDOVER_WAITING_H_
