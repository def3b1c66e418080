// Taking turns on the temporary image: waiting for other runs, clearing dead leftovers.
#include "handover/turns.h"

#include <utility>

namespace kv2pelmo {
namespace {

using Kind = FileError::Kind;
using Cause = NamingError::Cause;
using Type = FileFacts::Type;

// What removing a leftover came to: gone, or to be looked at again.
void RetryOrRefuseRemoval(RemoveResult removal, const std::string& path, Waiter& waiter) {
  if (removal == RemoveResult::kRemoved) return;
  if (waiter.RetryWithinGrace()) return;
  if (removal == RemoveResult::kDenied) {
    throw NamingError(Kind::kCreate, path, "", Cause::kNotRemovable);
  }
  throw FileError(Kind::kCreate, path);
}

// A leftover this user may neither read nor write cannot show its lock to
// this run: the system is asked whether any program holds it, and one held
// is waited for. It is another user's (the platform opens this user's own),
// and never removed: that user could be taking it over meanwhile.
void WaitForUnopenable(FileSystem& files, const std::string& path, const ProtectedFiles& protect,
                       Waiter& waiter) {
  const Lookup found = files.Look(path, false);
  if (found.state == Lookup::State::kMissing) return;
  if (!found.Found() || found.facts.type != Type::kRegular) throw FileError(Kind::kCreate, path);
  if (SameAsProtected(files, path, found.facts.id, protect) != SameFile::kNo) {
    throw NamingError(Kind::kCreate, path, "", Cause::kMaybeProtected);
  }
  switch (files.LockedByAnyone(found.facts)) {
    case InUse::kYes:
      return waiter.Wait();
    case InUse::kUnknown:  // may be a live run's, of a user whose locks cannot be seen
      if (waiter.WaitWithin(kUnseenLockBoundMilliseconds)) return;
      throw NamingError(Kind::kCreate, path, "", Cause::kInUseUnknown);
    case InUse::kNo:
      if (waiter.RetryWithinGrace()) return;
      throw NamingError(Kind::kCreate, path, "", Cause::kOthersLeftover);
  }
}

// A file held open by another keeps others out where handles share nothing:
// it may be this run's own input, which must not be waited for.
void WaitUnlessProtected(FileSystem& files, const std::string& path, const ProtectedFiles& protect,
                         Waiter& waiter) {
  const Lookup held = files.Look(path, false);
  if (held.Found() && SameAsProtected(files, path, held.facts.id, protect) != SameFile::kNo) {
    throw FileError(Kind::kCreate, path);
  }
  waiter.Wait();
}

// What came of a turn at the file of a name; for kLeftoverRemovalTried, how the removal
// of a leftover went.
struct Turn {
  enum class Kind { kReady, kNameMovedOn, kHeldByAnother, kLeftoverRemovalTried } kind;
  RemoveResult removal = RemoveResult::kRemoved;
};

// Takes the turn on the file just opened as path and makes it this run's
// empty image (kReady); otherwise says why path is to be opened again.
Turn TakeTurn(FileSystem& files, const std::string& path, const ProtectedFiles& protect,
              bool just_created, HeldFile& file) {
  const Lookup opened = file.Facts();
  if (!opened.Found() || opened.facts.type != Type::kRegular) throw FileError(Kind::kCreate, path);
  switch (SameAsProtected(files, path, opened.facts.id, protect)) {
    case SameFile::kYes:
      throw FileError(Kind::kCreate, path);
    case SameFile::kCannotTell:
      throw NamingError(Kind::kCreate, path, "", Cause::kMaybeProtected);
    case SameFile::kNo:
      break;
  }
  switch (file.TryLock()) {
    case LockResult::kBusy:
      return {Turn::Kind::kHeldByAnother};
    case LockResult::kFailed:
      throw FileError(Kind::kCreate, path);
    case LockResult::kAcquired:
      break;
  }
  // While this run waited, the one before it may have given the file its
  // final name or removed it; the name may even mean another file by now.
  if (!NameStillRefersTo(files, path, file)) return {Turn::Kind::kNameMovedOn};
  const Lookup held = file.Facts();
  // Through another name the truncation would reach another file (a run
  // killed while it named its image leaves one); another user's file, or
  // one with odd permissions, would lend them to the output. A file just created
  // shows the mount's owner and mode where there are none (FAT, exFAT).
  if (!held.Found() || held.facts.links > 1 ||
      (!just_created && (!held.facts.default_owner_and_mode || !file.Writable()))) {
    return {Turn::Kind::kLeftoverRemovalTried, file.RemoveName(path)};
  }
  if (held.facts.size > 0 && !file.Truncate()) throw FileError(Kind::kCreate, path);
  return {Turn::Kind::kReady};
}

}  // namespace

std::unique_ptr<HeldFile> ClaimTemporaryImage(FileSystem& files, const std::string& path,
                                              const ProtectedFiles& protect, Waiter& waiter) {
  for (;;) {
    OpenResult opened = files.Create(path);
    const bool just_created = opened.failure == OpenFailure::kNone;
    if (opened.failure == OpenFailure::kBusy) {  // still going, where it was held open
      waiter.Wait();
      continue;
    }
    if (opened.failure == OpenFailure::kExists) {
      opened = files.OpenExisting(path);
      switch (opened.failure) {
        case OpenFailure::kMissing:  // gone meanwhile
          waiter.CountRetry(path);
          continue;
        case OpenFailure::kBusy:
          WaitUnlessProtected(files, path, protect, waiter);
          continue;
        case OpenFailure::kDenied:
          WaitForUnopenable(files, path, protect, waiter);
          continue;
        default:
          break;
      }
    }
    if (!opened.file) throw FileError(Kind::kCreate, path);
    const Turn turn = TakeTurn(files, path, protect, just_created, *opened.file);
    if (turn.kind == Turn::Kind::kReady) return std::move(opened.file);
    // Let go before any wait: a run that has just made the file must be
    // able to lock it meanwhile.
    opened.file.reset();
    if (turn.kind == Turn::Kind::kHeldByAnother) {
      waiter.Wait();
    } else if (turn.kind == Turn::Kind::kLeftoverRemovalTried &&
               turn.removal != RemoveResult::kRemoved) {
      RetryOrRefuseRemoval(turn.removal, path, waiter);
    } else {
      waiter.CountRetry(path);
    }
  }
}

}  // namespace kv2pelmo
