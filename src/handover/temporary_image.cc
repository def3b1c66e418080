// Naming the temporary image: the protected names, the sweep, the copy across volumes.
#include "handover/temporary_image.h"

#include <algorithm>
#include <utility>

#include "handover/hidden_names.h"
#include "handover/same_file.h"
#include "handover/turns.h"
#include "handover/waiting.h"

namespace kv2pelmo {
namespace {

using Kind = FileError::Kind;
using Cause = NamingError::Cause;
using Type = FileFacts::Type;

constexpr int kCopyTries = 5;

// The failure of naming from as to: why, where the platform told.
FileError RenameError(const std::string& from, const std::string& to, RenameResult named) {
  const FileError::Reason reason = named == RenameResult::kHeld     ? FileError::Reason::kHeld
                                   : named == RenameResult::kDenied ? FileError::Reason::kDenied
                                                                    : FileError::Reason::kNone;
  return FileError(Kind::kRename, from, to, reason);
}

}  // namespace

std::unique_ptr<TemporaryImage> TemporaryImage::Create(FileSystem& files, const std::string& path,
                                                       const ProtectedFiles& protect,
                                                       const OnLongWait& on_long_wait) {
  Waiter waiter(files, path, on_long_wait);
  std::unique_ptr<HeldFile> file = ClaimTemporaryImage(files, path, protect, waiter);
  return std::unique_ptr<TemporaryImage>(
      new TemporaryImage(files, path, protect, std::move(file), on_long_wait));
}

TemporaryImage::TemporaryImage(FileSystem& files, std::string path, ProtectedFiles protect,
                               std::unique_ptr<HeldFile> file, OnLongWait on_long_wait)
    : files_(files),
      path_(std::move(path)),
      protect_(std::move(protect)),
      file_(file.get()),
      on_long_wait_(std::move(on_long_wait)),
      stream_(std::move(file), path_) {}

void TemporaryImage::Sync() {
  stream_.Flush();
  if (!file_->Sync()) throw FileError(Kind::kWrite, path_);
}

void TemporaryImage::MoveTo(const std::string& to) {
  if (!NameStillRefersTo(files_, path_, *file_)) throw FileError(Kind::kRename, path_, to);
  RefuseProtectedName(to);
  const std::string directory = DirectoryOf(to);
  RemoveDeadCopies(directory);
  const RenameResult named = RenameHeldFileWhenReleased(*file_, path_, to);
  if (named == RenameResult::kCopyNeeded) {
    CopyBesideOutput(to);
  } else if (named != RenameResult::kRenamed) {
    throw RenameError(path_, to, named);
  }
  files_.SyncDirectory(directory);
  // The temporary name goes, unless it has come to mean another file. The
  // image has its name and is on the disk: a late failure here, or of the
  // close (NFS and CIFS report some there), changes nothing of that.
  static_cast<void>(file_->RemoveName(path_));
  try {
    stream_.Close();
  } catch (const FileError&) {
  }
}

// Replacing the input or the alignator would destroy a file the user gave
// (a link to one too: the name is the user's), and the file the messages go
// to would lose them.
void TemporaryImage::RefuseProtectedName(const std::string& to) {
  const Lookup target = files_.Look(to, false);
  if (target.state == Lookup::State::kMissing) return;
  if (!target.Found()) throw FileError(Kind::kRename, path_, to);
  RefuseIfProtected(protect_.input, to, target.facts.id, Cause::kIsInput);
  if (protect_.alignator) {
    RefuseIfProtected(*protect_.alignator, to, target.facts.id, Cause::kIsAlignator);
  }
  const std::vector<Lookup> streams = files_.StandardStreams();
  for (std::size_t i = 1; i < streams.size(); ++i) {  // output and error; input is but read
    switch (SameAsStream(files_, i, streams[i], to, target.facts.id)) {
      case SameFile::kYes:
        throw NamingError(Kind::kRename, path_, to, Cause::kIsStandardStream);
      case SameFile::kCannotTell:
        // A stream the system cannot look at is no reason to refuse here.
        if (streams[i].state == Lookup::State::kUnknown) break;
        throw NamingError(Kind::kRename, path_, to, Cause::kMaybeProtected);
      case SameFile::kNo:
        break;
    }
  }
}

// A link to a protected file is the user's name for it, and so protected too.
void TemporaryImage::RefuseIfProtected(const std::string& given_path, const std::string& to,
                                       const FileId& target, Cause cause) {
  for (const bool follow : {true, false}) {
    const Lookup given = files_.Look(given_path, follow);
    if (given.Is(target)) throw NamingError(Kind::kRename, path_, to, cause);
    if (given.state == Lookup::State::kUnknown) {
      throw NamingError(Kind::kRename, path_, to, Cause::kMaybeProtected);
    }
  }
  switch (SameByName(files_, to, given_path)) {
    case SameFile::kYes:
      throw NamingError(Kind::kRename, path_, to, cause);
    case SameFile::kCannotTell:
      throw NamingError(Kind::kRename, path_, to, Cause::kMaybeProtected);
    case SameFile::kNo:
      break;
  }
}

// Removes what runs killed while naming left in directory: only a file that
// carries the hidden name made of its own identity, or an empty one under a
// random name (a copy is renamed before anything is written into it), which
// no file of a user's carries by chance, that no run holds any more, and
// that is none of the files the run must not touch. A live run holds its
// hidden files; a random one is looked at once locked, and removed only while
// its name still denotes it.
void TemporaryImage::RemoveDeadCopies(const std::string& directory) {
  for (const std::string& name : files_.List(directory)) {
    const HiddenKind kind = KindOfHiddenName(name);
    if (kind == HiddenKind::kNone) continue;
    const bool random = kind == HiddenKind::kRandom;
    const std::string path = directory + name;
    OpenResult opened = files_.OpenExisting(path);
    if (!opened.file) continue;
    const Lookup found = opened.file->Facts();
    if (found.Found() && found.facts.type == Type::kRegular &&
        (random || path == HiddenNameForFile(directory, found.facts.id)) &&
        SameAsProtected(files_, path, found.facts.id, protect_) == SameFile::kNo &&
        opened.file->TryLock() == LockResult::kAcquired) {
      const Lookup locked = opened.file->Facts();
      if (random && (!locked.Found() || locked.facts.size > 0)) continue;
      static_cast<void>(opened.file->RemoveName(path));
    }
  }
}

// Gives file the name to through the file itself where the platform can,
// else by renaming name, just checked to still denote it. A copy that has
// its hidden name already is renamed; so is a file whose hidden name another
// user has taken (in a sticky directory, the sweep may not remove it): the
// name follows from the file's identity, which anyone can see.
RenameResult TemporaryImage::RenameHeldFile(HeldFile& file, const std::string& name,
                                            const std::string& to) {
  const Lookup held = file.Facts();
  if (!held.Found()) return RenameResult::kFailed;
  const std::string hidden = HiddenNameForFile(DirectoryOf(to), held.facts.id);
  const RenameResult named = file.RenameTo(to, hidden);
  const bool rename =
      named == RenameResult::kRenameByPathNeeded || named == RenameResult::kHiddenNameTaken;
  if (!rename) return named;
  if (name.empty() || !NameStillRefersTo(files_, name, file)) return RenameResult::kFailed;
  return files_.Rename(name, to);
}

// Gives file the name to as RenameHeldFile does, waiting while another program
// holds the file of that name: a scanner or a preview holds it a moment.
RenameResult TemporaryImage::RenameHeldFileWhenReleased(HeldFile& file, const std::string& name,
                                                        const std::string& to) {
  Waiter waiter(files_, to, on_long_wait_);
  RenameResult named = RenameHeldFile(file, name, to);
  while (named == RenameResult::kHeld && waiter.WaitWithin(kHoldBoundMilliseconds)) {
    named = RenameHeldFile(file, name, to);
  }
  return named;
}

// Across volumes: a copy beside to, held and locked while it is made and
// named, so that a sweep takes only a dead run's; named once whole and synced.
void TemporaryImage::CopyBesideOutput(const std::string& to) {
  std::string name;  // the copy's, where it cannot be made without one
  std::unique_ptr<HeldFile> copy = CreateCopyBeside(to, name);
  RenameResult named = RenameResult::kFailed;
  try {
    CopyWhole(*file_, *copy);
    // Its size once on the disk, too: a copy that lost bytes is no image.
    if (copy->Sync() && copy->Size() == file_->Size()) {
      named = RenameHeldFileWhenReleased(*copy, name, to);
    }
  } catch (const FileError&) {
  }
  // Where the copy was linked under its final name, its own name goes too.
  if (!name.empty()) static_cast<void>(copy->RemoveName(name));
  if (named != RenameResult::kRenamed) throw RenameError(path_, to, named);
}

// A copy that must have a name is made under a random one, then given the
// hidden name of its identity, before anything is written into it.
std::unique_ptr<HeldFile> TemporaryImage::CreateCopyBeside(const std::string& to,
                                                           std::string& name) {
  OpenResult made = files_.CreateAnonymous(DirectoryOf(to));
  if (made.file && made.file->TryLock() == LockResult::kAcquired) return std::move(made.file);
  if (made.failure != OpenFailure::kUnsupported) throw FileError(Kind::kRename, path_, to);
  // A copy under a random name that another run's sweep took for a dead one before this
  // run locked it, or whose hidden name another user has taken, is made anew.
  for (int tries = 0; tries < kCopyTries; ++tries) {
    do {
      // A short name nothing has, so that output names up to the file
      // system's limit still work.
      name = RandomHiddenNameOf(DirectoryOf(to), files_.UniqueNumber());
      made = files_.Create(name);
    } while (made.failure == OpenFailure::kExists);
    const Lookup copy = made.file ? made.file->Facts() : Lookup{};
    const std::string hidden =
        copy.Found() ? HiddenNameForFile(DirectoryOf(to), copy.facts.id) : "";
    if (copy.Found() && made.file->TryLock() == LockResult::kAcquired &&
        files_.Look(hidden, false).state == Lookup::State::kMissing &&
        MoveToHiddenName(*made.file, name, hidden)) {
      name = hidden;
      return std::move(made.file);
    }
    if (!made.file) break;
    static_cast<void>(made.file->RemoveName(name));
  }
  throw FileError(Kind::kRename, path_, to);
}

// Gives copy, just made as random_name and still empty, the name hidden instead:
// through the file itself where the platform can (a handle that shares
// nothing cannot be renamed by its name), else by renaming random_name.
bool TemporaryImage::MoveToHiddenName(HeldFile& copy, const std::string& random_name,
                                      const std::string& hidden) {
  RenameResult named = copy.RenameTo(hidden, hidden);
  if (named == RenameResult::kRenameByPathNeeded) named = files_.Rename(random_name, hidden);
  if (named != RenameResult::kRenamed) return false;
  static_cast<void>(copy.RemoveName(random_name));  // where it was linked, not renamed
  return true;
}

}  // namespace kv2pelmo
