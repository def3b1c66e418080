// Waiting for a file that another program holds open: polled, bounded, said after a second.
#ifndef KV2PELMO_HANDOVER_HOLD_WAIT_H_
#define KV2PELMO_HANDOVER_HOLD_WAIT_H_

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

/// Called once a wait for the file at the path given has lasted about a second.
using LongWaitNotice = std::function<void(const std::string& path)>;

/// The wait for one file that another program holds.
class HoldWait {
 public:
  HoldWait(FileSystem& files, std::string path, const LongWaitNotice& notice)
      : files_(files), path_(std::move(path)), notice_(notice) {}
  /// Waits a poll's time and returns true; returns false, without waiting,
  /// once the bound has passed.
  bool Wait();

 private:
  static constexpr int kPollMilliseconds = 50;
  // The notice comes at a poll's end: the second must be one.
  static_assert(kLongWaitMilliseconds % kPollMilliseconds == 0);
  FileSystem& files_;
  std::string path_;
  const LongWaitNotice& notice_;
  int waited_ = 0;
};

/// Opens path for reading as files.OpenForReading does, waiting while
/// another program holds it. Throws FileError(kOpen), with Reason kHeld when
/// it is still held after the bound.
std::unique_ptr<InputStream> OpenWhenReleased(FileSystem& files, const std::string& path,
                                              const LongWaitNotice& notice);

}  // namespace kv2pelmo

#endif  // KV2PELMO_HANDOVER_HOLD_WAIT_H_
