// The file system as the converter sees it: the few primitives each platform implements.
#ifndef KV2PELMO_HANDOVER_FILE_SYSTEM_H_
#define KV2PELMO_HANDOVER_FILE_SYSTEM_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/input_stream.h"
#include "io/raw_file.h"

namespace kv2pelmo {

/// Which file a name or an open file denotes: equal ids, the same file.
struct FileId {
  /// The volume of an id whose volume could not be read: it matches every
  /// volume, so that "cannot tell" never counts as "not the same".
  static constexpr std::uint64_t kAnyVolume = ~std::uint64_t{0};
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileId& other) const {
    return index == other.index &&
           (volume == other.volume || volume == kAnyVolume || other.volume == kAnyVolume);
  }
  bool operator!=(const FileId& other) const { return !(*this == other); }
};

/// What the platform tells of a file.
struct FileFacts {
  enum class Type { kRegular, kDirectory, kLink, kOther };
  FileId id;
  Type type = Type::kOther;
  std::uint64_t links = 1;
  std::uint64_t size = 0;
  /// Owned by this user, with the permissions a new file gets here: a file
  /// the image may become without lending the output another's.
  bool default_owner_and_mode = true;
};

/// What asking after a name or an open file found.
struct Lookup {
  enum class State { kFound, kMissing, kUnknown };
  State state = State::kUnknown;
  FileFacts facts;

  bool Found() const { return state == State::kFound; }
  /// True when it was found and is the file id.
  bool Is(const FileId& id) const { return Found() && facts.id == id; }
};

/// Why a file could not be opened or created.
enum class OpenFailure { kNone, kExists, kMissing, kBusy, kDenied, kUnsupported, kOther };
/// How giving a file a name went. kCopyNeeded: the name lies on another
/// volume, or where a file made there would get another group. kHeld:
/// another program has the file of that name open (only where an open file
/// cannot be replaced); kDenied: this user may not replace it.
enum class RenameResult {
  kRenamed,
  kHiddenNameTaken,
  kRenameByPathNeeded,
  kCopyNeeded,
  kHeld,
  kDenied,
  kFailed
};
/// Whether a lock was had.
enum class LockResult { kAcquired, kBusy, kFailed };
/// How removing a name went; kRemoved also when it no longer denotes the file.
enum class RemoveResult { kRemoved, kDenied, kFailed };
/// Whether any program holds a file's lock.
enum class InUse { kNo, kYes, kUnknown };

/// A file this process holds open for an image or a copy of one: a raw file
/// with what taking turns and naming need.
class HeldFile : public RawFile {
 public:
  /// Returns this file's facts, found or unknown.
  virtual Lookup Facts() = 0;
  /// Returns false when it was opened without write access.
  virtual bool Writable() const = 0;
  /// Takes the lock that runs take turns on, without waiting. Where merely
  /// holding the file open keeps others out, it is had already.
  virtual LockResult TryLock() = 0;
  /// Cuts the file to nothing; false when that fails.
  virtual bool Truncate() = 0;
  /// Brings the file's bytes to the disk; false when they may not be there.
  virtual bool Sync() = 0;
  /// Gives this file the name to, replacing any file of that name. Where
  /// the platform needs another name first, that is hidden, beside to.
  virtual RenameResult RenameTo(const std::string& to, const std::string& hidden) = 0;
  /// Removes name when it still denotes this file.
  virtual RemoveResult RemoveName(const std::string& name) = 0;
};

/// A file opened or created, or why not.
struct OpenResult {
  std::unique_ptr<HeldFile> file;
  OpenFailure failure = OpenFailure::kNone;
};

/// What the converter asks of the platform's files: small primitives, so that
/// the rules above them are written once and tested over a fake.
///
/// Abstract: each platform implements it in its own file;
/// PlatformFileSystem() is the real one. A directory is given as a path's
/// directory part, "" for the current one.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /// Returns true when path names a device rather than a file, as Windows
  /// takes NUL, CON, AUX or COM1 whatever their extension; such a name is
  /// never opened.
  virtual bool IsDevice(const std::string& path) = 0;
  /// Looks up path, the link itself or, with follow_links, what it leads to.
  virtual Lookup Look(const std::string& path, bool follow_links) = 0;
  /// Opens an existing file for reading, letting others read but not write
  /// it. Throws FileError(kOpen), with Reason kHeld where another program
  /// keeps it out and kDenied where a permission does, as far as it can tell.
  virtual std::unique_ptr<InputStream> OpenForReading(const std::string& path) = 0;
  /// Creates path, which must not exist, for reading and writing, never
  /// following a link.
  virtual OpenResult Create(const std::string& path) = 0;
  /// Opens an existing path for reading and writing, or for reading only
  /// where writing is denied, never following a link or waiting on it.
  virtual OpenResult OpenExisting(const std::string& path) = 0;
  /// Creates a file without a name in directory; kUnsupported where there
  /// are none.
  virtual OpenResult CreateAnonymous(const std::string& directory) = 0;
  /// Renames from to to, replacing any file of that name.
  virtual RenameResult Rename(const std::string& from, const std::string& to) = 0;
  /// Tells whether any program holds the lock of a file this process cannot open.
  virtual InUse LockedByAnyone(const FileFacts& file) = 0;
  /// Returns false when name is longer than the file system of directory
  /// allows for a name; true also where it cannot tell.
  virtual bool NameFits(const std::string& directory, const std::string& name) = 0;
  /// Returns the names in directory.
  virtual std::vector<std::string> List(const std::string& directory) = 0;
  /// Returns false where a file in directory may show another identity under
  /// each spelling of its name (FAT and exFAT through FUSE), or where it
  /// cannot tell.
  virtual bool StableIdentities(const std::string& /*directory*/) { return true; }
  /// Brings directory's entries to the disk, as far as the platform can.
  virtual void SyncDirectory(const std::string& directory) = 0;
  /// Returns what the standard input, output and error are: missing where
  /// one is not a file.
  virtual std::vector<Lookup> StandardStreams() = 0;
  /// Returns the name the standard stream index (0, 1 or 2) was opened
  /// under, where the system tells; empty where it does not.
  virtual std::string StandardStreamName(std::size_t /*index*/) { return std::string(); }
  /// Waits that long.
  virtual void Sleep(int milliseconds) = 0;
  /// Returns a number that this process has not had before and others are
  /// unlikely to have now.
  virtual std::uint64_t UniqueNumber() = 0;
};

/// Returns the platform's file system.
FileSystem& PlatformFileSystem();

/// Returns false when the system says path does not exist or is a directory;
/// true otherwise, also when it cannot tell (then opening it will).
bool MayExist(FileSystem& files, const std::string& path);

/// Returns true when name still denotes the held file: a name can come to
/// mean another file while a run holds its own.
bool NameStillRefersTo(FileSystem& files, const std::string& name, HeldFile& file);

/// Returns the characters that end the directory part of a path on this
/// platform ("/" here, more on others).
const char* PathSeparators();

/// Returns the directory part of path, separator included; empty for a bare name.
std::string DirectoryOf(const std::string& path);

/// Returns path as the system takes it: Windows drops the dots and spaces
/// that end a name ("fw.480." is fw.480), but for a \\?\ path.
std::string WithoutTrailingDotsAndSpaces(const std::string& path);

}  // namespace kv2pelmo

#endif  // KV2PELMO_HANDOVER_FILE_SYSTEM_H_
