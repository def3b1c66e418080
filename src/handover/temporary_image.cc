// Taking turns on the temporary image and naming it: every rule once, over the platform's
// primitives.
#include "handover/temporary_image.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

namespace kv2pelmo {
namespace {

using Kind = FileError::Kind;
using Cause = NamingError::Cause;
using Type = FileFacts::Type;

constexpr int kPollMilliseconds = 20;
constexpr int kCopyTries = 5;

// Every hidden name a run makes beside an output: the prefix, 16 lowercase
// hex digits and the suffix.
constexpr char kHiddenPrefix[] = ".kv2pelmo-";
constexpr char kHiddenSuffix[] = ".tmp";
constexpr std::size_t kHiddenDigits = 16;

std::string HiddenName(const std::string& directory, std::uint64_t number) {
  std::string digits(kHiddenDigits, '0');
  for (std::size_t i = kHiddenDigits; i-- > 0; number >>= 4) {
    digits[i] = "0123456789abcdef"[number & 15];
  }
  return directory + kHiddenPrefix + digits + kHiddenSuffix;
}

// Spreads the bits of value over all 64 (SplitMix64's finaliser).
std::uint64_t Mixed(std::uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

// The first name of a copy that must have a name: a short one nothing has,
// so that output names up to the file system's limit still work.
std::string FreshHiddenName(FileSystem& files, const std::string& to) {
  return FreshHiddenNameOf(DirectoryOf(to), files.UniqueNumber());
}

// The 16 digits of a fresh name: a value, then a check made of it, which
// an identity's name or a user's file has only by a chance of one in 2^32.
std::uint64_t FreshNumber(std::uint32_t value) {
  return std::uint64_t{value} << 32 | (Mixed(value ^ 0x6B7632ull) & 0xFFFFFFFF);
}

// Returns the number a hidden name carries, or nothing where name has not
// the form of one.
std::optional<std::uint64_t> HiddenNumber(const std::string& name) {
  const std::size_t prefix = sizeof(kHiddenPrefix) - 1;
  if (name.size() != prefix + kHiddenDigits + sizeof(kHiddenSuffix) - 1 ||
      name.rfind(kHiddenPrefix, 0) != 0 ||
      name.compare(prefix + kHiddenDigits, std::string::npos, kHiddenSuffix) != 0) {
    return std::nullopt;
  }
  std::uint64_t number = 0;
  for (std::size_t i = prefix; i < prefix + kHiddenDigits; ++i) {
    const std::size_t digit = std::string_view("0123456789abcdef").find(name[i]);
    if (digit == std::string_view::npos) return std::nullopt;
    number = number << 4 | digit;
  }
  return number;
}

// What a file is to the files a run must never write over or remove.
enum class SameFile { kNo, kCannotTell, kYes };

std::string BaseName(const std::string& path) { return path.substr(DirectoryOf(path).size()); }

// True when a and b may be spellings of one name on a file system that
// folds case: equal but for ASCII case, or, past ASCII, where only the
// characters beyond it differ (how those fold is the file system's).
bool MayFoldTogether(const std::string& a, const std::string& b) {
  const auto folded = [](const std::string& name, bool drop_wide) {
    std::string out;
    bool wide = false;
    for (const char c : name) {
      const auto byte = static_cast<unsigned char>(c);
      wide = wide || byte >= 0x80;
      if (byte < 0x80 || !drop_wide) out += static_cast<char>(byte < 0x80 ? std::tolower(byte) : byte);
    }
    return std::pair{out, wide};
  };
  const auto [a_folded, a_wide] = folded(a, false);
  const auto [b_folded, b_wide] = folded(b, false);
  return a_folded == b_folded || (a_wide && b_wide && folded(a, true) == folded(b, true));
}

// Where each spelling of a name may show its own identity, the names
// themselves are compared. Two spellings in one directory are one file when
// the system finds the one not listed there: it folds case. Directories
// spelled apart cannot be told apart on such a system.
SameFile SameByName(FileSystem& files, const std::string& path, const std::string& given) {
  if (files.StableIdentities(DirectoryOf(path)) || !MayFoldTogether(BaseName(path), BaseName(given))) {
    return SameFile::kNo;
  }
  if (DirectoryOf(path) != DirectoryOf(given)) return SameFile::kCannotTell;
  if (path == given) return SameFile::kYes;
  const std::vector<std::string> listed = files.List(DirectoryOf(path));
  const auto has = [&](const std::string& name) {
    return std::find(listed.begin(), listed.end(), BaseName(name)) != listed.end();
  };
  if (has(path) && has(given)) return SameFile::kNo;
  switch (files.Look(path, false).state) {
    case Lookup::State::kMissing:
      return SameFile::kNo;
    case Lookup::State::kFound:
      return SameFile::kYes;
    case Lookup::State::kUnknown:
      break;
  }
  return SameFile::kCannotTell;
}

// Where identities may differ by spelling, a standard stream that is a file
// on the same volume may be the file under another spelling.
SameFile SameAsStream(const Lookup& stream, const FileId& id, bool stable) {
  if (stream.Is(id)) return SameFile::kYes;
  if (stream.state == Lookup::State::kUnknown) return SameFile::kCannotTell;
  const bool near = stream.Found() && stream.facts.type == Type::kRegular &&
                    (stream.facts.id.volume == id.volume || id.volume == FileId::kAnyVolume);
  return !stable && near ? SameFile::kCannotTell : SameFile::kNo;
}

// "Cannot tell" never counts as "not the same".
SameFile SameAsProtected(FileSystem& files, const std::string& path, const FileId& id,
                         const ProtectedFiles& protect) {
  SameFile same = SameFile::kNo;
  const auto note = [&](const std::string& given) {
    const Lookup other = files.Look(given, true);
    if (other.Is(id)) same = SameFile::kYes;
    if (other.state == Lookup::State::kUnknown) same = std::max(same, SameFile::kCannotTell);
    same = std::max(same, SameByName(files, path, given));
  };
  note(protect.input);
  if (protect.alignator) note(*protect.alignator);
  const bool stable = files.StableIdentities(DirectoryOf(path));
  for (const Lookup& standard : files.StandardStreams()) {
    same = std::max(same, SameAsStream(standard, id, stable));
  }
  return same;
}

// The failure of naming from as to: why, where the platform told.
FileError RenameError(const std::string& from, const std::string& to, Named named) {
  const FileError::Reason reason = named == Named::kHeld     ? FileError::Reason::kHeld
                                   : named == Named::kDenied ? FileError::Reason::kDenied
                                                             : FileError::Reason::kNone;
  return FileError(Kind::kRename, from, to, reason);
}

bool Denotes(FileSystem& files, const std::string& name, HeldFile& file) {
  const Lookup held = file.Facts();
  return held.Found() && files.Look(name, false).Is(held.facts.id);
}

// Waits a poll's time, and says so once when the waits add up to a second.
class Waiter {
 public:
  Waiter(FileSystem& files, const std::string& path, const LongWaitNotice& on_long_wait)
      : files_(files), path_(path), on_long_wait_(on_long_wait) {}
  void Wait() {
    if (waited_ >= kLongWaitMilliseconds && !std::exchange(told_, true)) on_long_wait_(path_);
    retries_ = 0;
    files_.Sleep(kPollMilliseconds);
    waited_ += kPollMilliseconds;
  }
  // A leftover that looks dead and cannot be removed may be a run's that
  // has just made it and not yet locked it: it is looked at again for a
  // while before the run gives up.
  // Returns false once that while is over.
  bool RetryWithinGrace() {
    if (grace_used_ >= kGraceMilliseconds) return false;
    grace_used_ += kPollMilliseconds;
    Wait();
    return true;
  }
  // Waits for a file whose lock cannot be seen, saying so after a second.
  // Returns false once the bound is over.
  bool WaitWithinBound() {
    if (waited_ >= kUnseenLockMilliseconds) return false;
    Wait();
    return true;
  }
  // Every try but a wait must come nearer: a file system that always says
  // "again" fails the run rather than spinning.
  void CountRetry(const std::string& path) {
    if (++retries_ > kMostRetries) throw FileError(Kind::kCreate, path);
  }

 private:
  static constexpr int kGraceMilliseconds = 200;
  static constexpr int kUnseenLockMilliseconds = 15000;
  static constexpr int kMostRetries = 1000;
  FileSystem& files_;
  const std::string& path_;
  const LongWaitNotice& on_long_wait_;
  int waited_ = 0;
  int grace_used_ = 0;
  int retries_ = 0;
  bool told_ = false;
};

// What removing a leftover came to: gone, or to be looked at again.
void AfterRemoving(Removal removal, const std::string& path, Waiter& waiter) {
  if (removal == Removal::kRemoved) return;
  if (waiter.RetryWithinGrace()) return;
  if (removal == Removal::kDenied) throw NamingError(Kind::kCreate, path, "", Cause::kNotRemovable);
  throw FileError(Kind::kCreate, path);
}

// A leftover this user may neither read nor write cannot show its lock to
// this run: the system is asked whether any program holds it, and one held
// is waited for. It is another user's (the platform opens this user's own),
// and never removed: that user could be taking it over meanwhile.
void WaitForUnopenable(FileSystem& files, const std::string& path,
                       const ProtectedFiles& protect, Waiter& waiter) {
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
      if (waiter.WaitWithinBound()) return;
      throw NamingError(Kind::kCreate, path, "", Cause::kInUseUnknown);
    case InUse::kNo:
      if (waiter.RetryWithinGrace()) return;
      throw NamingError(Kind::kCreate, path, "", Cause::kOthersLeftover);
  }
}

// A file held open by another keeps others out where handles share nothing:
// it may be this run's own input, which must not be waited for.
void WaitUnlessProtected(FileSystem& files, const std::string& path,
                      const ProtectedFiles& protect, Waiter& waiter) {
  const Lookup held = files.Look(path, false);
  if (held.Found() && SameAsProtected(files, path, held.facts.id, protect) != SameFile::kNo) {
    throw FileError(Kind::kCreate, path);
  }
  waiter.Wait();
}

// What came of a turn at the file of a name; for kUnnamed, how the removal
// of a leftover went.
struct Turn {
  enum class Kind { kReady, kReopen, kHeldByAnother, kLeftoverRemoved } kind;
  Removal removal = Removal::kRemoved;
};

// Takes the turn on the file just opened as path and makes it this run's
// empty image (kReady); otherwise says why path is to be opened again.
Turn TakeTurn(FileSystem& files, const std::string& path, const ProtectedFiles& protect,
              bool fresh, HeldFile& file) {
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
    case Lock::kBusy:
      return {Turn::Kind::kHeldByAnother};
    case Lock::kFailed:
      throw FileError(Kind::kCreate, path);
    case Lock::kHeld:
      break;
  }
  // While this run waited, the one before it may have given the file its
  // final name or removed it; the name may even mean another file by now.
  if (!Denotes(files, path, file)) return {Turn::Kind::kReopen};
  const Lookup held = file.Facts();
  // Through another name the truncation would reach another file (a run
  // killed while it named its image leaves one); another user's file, or
  // one with odd permissions, would lend them to the output. A fresh file
  // shows the mount's owner and mode where there are none (FAT, exFAT).
  if (!held.Found() || held.facts.links > 1 ||
      (!fresh && (!held.facts.default_owner_and_mode || !file.Writable()))) {
    return {Turn::Kind::kLeftoverRemoved, file.RemoveName(path)};
  }
  if (held.facts.size > 0 && !file.Truncate()) throw FileError(Kind::kCreate, path);
  return {Turn::Kind::kReady};
}

std::unique_ptr<HeldFile> HoldImage(FileSystem& files, const std::string& path,
                                    const ProtectedFiles& protect, Waiter& waiter) {
  for (;;) {
    Opened opened = files.Create(path);
    const bool fresh = opened.failure == OpenFailure::kNone;
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
    const Turn turn = TakeTurn(files, path, protect, fresh, *opened.file);
    if (turn.kind == Turn::Kind::kReady) return std::move(opened.file);
    // Let go before any wait: a run that has just made the file must be
    // able to lock it meanwhile.
    opened.file.reset();
    if (turn.kind == Turn::Kind::kHeldByAnother) {
      waiter.Wait();
    } else if (turn.kind == Turn::Kind::kLeftoverRemoved && turn.removal != Removal::kRemoved) {
      AfterRemoving(turn.removal, path, waiter);
    } else {
      waiter.CountRetry(path);
    }
  }
}

}  // namespace

std::unique_ptr<TemporaryImage> TemporaryImage::Create(FileSystem& files, const std::string& path,
                                                       const ProtectedFiles& protect,
                                                       const LongWaitNotice& on_long_wait) {
  Waiter waiter(files, path, on_long_wait);
  std::unique_ptr<HeldFile> file = HoldImage(files, path, protect, waiter);
  return std::unique_ptr<TemporaryImage>(
      new TemporaryImage(files, path, protect, std::move(file), on_long_wait));
}

TemporaryImage::TemporaryImage(FileSystem& files, std::string path, ProtectedFiles protect,
                               std::unique_ptr<HeldFile> file, LongWaitNotice on_long_wait)
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
  if (!Denotes(files_, path_, *file_)) throw FileError(Kind::kRename, path_, to);
  RefuseProtectedName(to);
  const std::string directory = DirectoryOf(to);
  Sweep(directory);
  const Named named = GiveNameWhenReleased(*file_, path_, to);
  if (named == Named::kCopyNeeded) {
    CopyAcross(to);
  } else if (named != Named::kNamed) {
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
  const bool stable = files_.StableIdentities(DirectoryOf(to));
  for (std::size_t i = 1; i < streams.size(); ++i) {  // output and error; input is but read
    if (streams[i].Is(target.facts.id)) {
      throw NamingError(Kind::kRename, path_, to, Cause::kIsStandardStream);
    }
    if (!stable && SameAsStream(streams[i], target.facts.id, stable) != SameFile::kNo) {
      throw NamingError(Kind::kRename, path_, to, Cause::kMaybeProtected);
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
// fresh name (a copy is renamed before anything is written into it), which
// no file of a user's carries by chance, that no run holds any more, and
// that is none of the files the run must not touch. A live run holds its
// hidden files; a fresh one is looked at once locked, and removed only while
// its name still denotes it.
void TemporaryImage::Sweep(const std::string& directory) {
  for (const std::string& name : files_.List(directory)) {
    const std::optional<std::uint64_t> number = HiddenNumber(name);
    if (!number) continue;
    const bool fresh = FreshNumber(static_cast<std::uint32_t>(*number >> 32)) == *number;
    const std::string path = directory + name;
    Opened opened = files_.OpenExisting(path);
    if (!opened.file) continue;
    const Lookup found = opened.file->Facts();
    if (found.Found() && found.facts.type == Type::kRegular &&
        (fresh || path == HiddenNameOf(directory, found.facts.id)) &&
        SameAsProtected(files_, path, found.facts.id, protect_) == SameFile::kNo &&
        opened.file->TryLock() == Lock::kHeld) {
      const Lookup locked = opened.file->Facts();
      if (fresh && (!locked.Found() || locked.facts.size > 0)) continue;
      static_cast<void>(opened.file->RemoveName(path));
    }
  }
}

// Gives file the name to through the file itself where the platform can,
// else by renaming name, just checked to still denote it. A copy that has
// its hidden name already is renamed; so is a file whose hidden name another
// user has taken (in a sticky directory, the sweep may not remove it): the
// name follows from the file's identity, which anyone can see.
Named TemporaryImage::GiveName(HeldFile& file, const std::string& name, const std::string& to) {
  const Lookup held = file.Facts();
  if (!held.Found()) return Named::kFailed;
  const std::string hidden = HiddenNameOf(DirectoryOf(to), held.facts.id);
  const Named named = file.RenameTo(to, hidden);
  const bool rename = named == Named::kNoLinks || named == Named::kNameTaken;
  if (!rename) return named;
  if (name.empty() || !Denotes(files_, name, file)) return Named::kFailed;
  return files_.Rename(name, to);
}

// Gives file the name to as GiveName does, waiting while another program
// holds the file of that name: a scanner or a preview holds it a moment.
Named TemporaryImage::GiveNameWhenReleased(HeldFile& file, const std::string& name,
                                           const std::string& to) {
  HoldWait wait(files_, to, on_long_wait_);
  Named named = GiveName(file, name, to);
  while (named == Named::kHeld && wait.Wait()) named = GiveName(file, name, to);
  return named;
}

// Across volumes: a copy beside to, held and locked while it is made and
// named, so that a sweep takes only a dead run's; named once whole and synced.
void TemporaryImage::CopyAcross(const std::string& to) {
  std::string name;  // the copy's, where it cannot be made without one
  std::unique_ptr<HeldFile> copy = CreateCopyBeside(to, name);
  Named named = Named::kFailed;
  try {
    CopyWhole(*file_, *copy);
    if (copy->Sync()) named = GiveNameWhenReleased(*copy, name, to);
  } catch (const FileError&) {
  }
  // Where the copy was linked under its final name, its own name goes too.
  if (!name.empty()) static_cast<void>(copy->RemoveName(name));
  if (named != Named::kNamed) throw RenameError(path_, to, named);
}

// A copy that must have a name is made under a fresh one, then given the
// hidden name of its identity, before anything is written into it.
std::unique_ptr<HeldFile> TemporaryImage::CreateCopyBeside(const std::string& to,
                                                           std::string& name) {
  Opened made = files_.CreateNameless(DirectoryOf(to));
  if (made.file && made.file->TryLock() == Lock::kHeld) return std::move(made.file);
  if (made.failure != OpenFailure::kUnsupported) throw FileError(Kind::kRename, path_, to);
  // A fresh copy that another run's sweep took for a dead one before this
  // run locked it, or whose hidden name another user has taken, is made anew.
  for (int tries = 0; tries < kCopyTries; ++tries) {
    do {
      name = FreshHiddenName(files_, to);
      made = files_.Create(name);
    } while (made.failure == OpenFailure::kExists);
    const Lookup copy = made.file ? made.file->Facts() : Lookup{};
    const std::string hidden = copy.Found() ? HiddenNameOf(DirectoryOf(to), copy.facts.id) : "";
    if (copy.Found() && made.file->TryLock() == Lock::kHeld &&
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

// Gives copy, just made as fresh and still empty, the name hidden instead:
// through the file itself where the platform can (a handle that shares
// nothing cannot be renamed by its name), else by renaming fresh.
bool TemporaryImage::MoveToHiddenName(HeldFile& copy, const std::string& fresh, const std::string& hidden) {
  Named named = copy.RenameTo(hidden, hidden);
  if (named == Named::kNoLinks) named = files_.Rename(fresh, hidden);
  if (named != Named::kNamed) return false;
  static_cast<void>(copy.RemoveName(fresh));  // where it was linked, not renamed
  return true;
}

std::string HiddenNameOf(const std::string& directory, const FileId& id) {
  return HiddenName(directory, Mixed(Mixed(id.volume) ^ id.index));
}

std::string FreshHiddenNameOf(const std::string& directory, std::uint64_t unique) {
  return HiddenName(directory, FreshNumber(static_cast<std::uint32_t>(Mixed(unique))));
}

}  // namespace kv2pelmo
