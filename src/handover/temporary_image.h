// The image while it is written: held by one run at a time, then given its final name.
#ifndef KV2PELMO_HANDOVER_TEMPORARY_IMAGE_H_
#define KV2PELMO_HANDOVER_TEMPORARY_IMAGE_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "handover/file_system.h"
#include "handover/naming_error.h"
#include "handover/same_file.h"
#include "handover/waiting.h"
#include "io/image_stream.h"

namespace kv2pelmo {

/// The temporary image of one run. It stays open, and so locked against other
/// runs, from its creation until MoveTo has put it under its final name; a
/// run that stops earlier leaves it under its temporary name.
///
/// Every rule of taking turns and naming lives here, once, over the
/// primitives of a FileSystem.
class TemporaryImage {
 public:
  /// Creates path anew, empty, and holds it. While another run holds a file
  /// of that name it waits its turn, whoever's run it is, and after about a
  /// second calls on_long_wait with path, once. A leftover that cannot be taken over
  /// (one with other names, another user's, one with other permissions than
  /// a new file's, or one this user may not write) is removed once no
  /// program holds it, and made anew. Throws FileError(kCreate), leaving the
  /// old file untouched, when path is a link or not a regular file, when it
  /// is or may be one of protect's files or a standard stream, or when it
  /// cannot be replaced.
  static std::unique_ptr<TemporaryImage> Create(FileSystem& files, const std::string& path,
                                                const ProtectedFiles& protect,
                                                const OnLongWait& on_long_wait);
  TemporaryImage(const TemporaryImage&) = delete;
  TemporaryImage& operator=(const TemporaryImage&) = delete;

  /// Returns the stream to write the image through.
  ImageStream& Stream() { return stream_; }

  /// Writes what is buffered and brings the image to the disk, so that no
  /// name is ever given to bytes that a crash could lose. Throws
  /// FileError(kWrite).
  void Sync();

  /// After Sync: gives the held file the name to, replacing a file of that
  /// name (across volumes, a copy made whole and synced first), and closes
  /// it. Copies and links that killed runs left beside to are removed first.
  /// Throws FileError(kRename), with to untouched, when the temporary name
  /// no longer denotes the held file, when to is or links to the input or
  /// the alignator, or is a standard stream, or when naming fails. While
  /// another program holds to open it waits, for kHoldBoundMilliseconds at
  /// most, calling on_long_wait with to after a second; then it throws with
  /// Reason kHeld, or kDenied where a permission refuses. A failure after the
  /// image has its name changes nothing of it and is not reported.
  void MoveTo(const std::string& to);

 private:
  TemporaryImage(FileSystem& files, std::string path, ProtectedFiles protect,
                 std::unique_ptr<HeldFile> file, OnLongWait on_long_wait);
  void RefuseProtectedName(const std::string& to);
  void RefuseIfProtected(const std::string& given_path, const std::string& to, const FileId& target,
                         NamingError::Cause cause);
  void RemoveDeadCopies(const std::string& directory);
  RenameResult RenameHeldFile(HeldFile& file, const std::string& name, const std::string& to);
  RenameResult RenameHeldFileWhenReleased(HeldFile& file, const std::string& name,
                                          const std::string& to);
  void CopyBesideOutput(const std::string& to);
  std::unique_ptr<HeldFile> CreateCopyBeside(const std::string& to, std::string& name);
  bool MoveToHiddenName(HeldFile& copy, const std::string& random_name, const std::string& hidden);

  FileSystem& files_;
  std::string path_;
  ProtectedFiles protect_;
  HeldFile* file_;  // owned by the stream
  OnLongWait on_long_wait_;
  ImageStream stream_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_HANDOVER_TEMPORARY_IMAGE_H_
