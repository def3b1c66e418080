// The image while it is written: created, locked and held by one run until it has its final name.
#ifndef KV2PELMO_PLATFORM_TEMPORARY_IMAGE_H_
#define KV2PELMO_PLATFORM_TEMPORARY_IMAGE_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/image_stream.h"

namespace kv2pelmo {

/// The temporary image of one run. It stays open, and so locked against other
/// runs, from its creation until MoveTo has put it under its final name; a
/// run that stops earlier leaves it under its temporary name.
///
/// Abstract with a static factory: each platform implements it in its own file.
/// How long a run waits before it says so.
constexpr int kLongWaitMilliseconds = 1000;
class TemporaryImage {
 public:
  virtual ~TemporaryImage() = default;

  /// Creates path anew, empty, owned by this process with the default mode
  /// for new files, and holds it. While another run holds a file of that
  /// name it waits its turn. A leftover with other names, or of another user,
  /// is removed first, never truncated. Throws FileError(kCreate), leaving
  /// the old file untouched, when path is a symbolic link, not a regular
  /// file, the same file as any of spared (the files it must never be written
  /// over) or as the standard input, output or
  /// error, or cannot be replaced. When it has waited about a second for
  /// another's turn to end, it calls on_long_wait once and waits on.
  static std::unique_ptr<TemporaryImage> Create(const std::string& path,
                                                const std::vector<std::string>& spared,
                                                const std::function<void()>& on_long_wait);

  /// Returns the stream to write the image through.
  virtual ImageStream& Stream() = 0;

  /// Writes what is buffered and brings the image to the disk, so that no
  /// name is ever given to bytes that a crash could lose. Throws
  /// FileError(kWrite).
  virtual void Sync() = 0;

  /// After Sync: gives the held file the name to (replacing a file of that
  /// name, copying it across file systems), and closes it. When the
  /// temporary name no longer denotes the held file, nothing is moved.
  /// Throws FileError(kRename); to is then untouched.
  virtual void MoveTo(const std::string& to) = 0;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_TEMPORARY_IMAGE_H_
