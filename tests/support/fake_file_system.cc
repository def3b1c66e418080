// The fake file system's primitives: POSIX rules over inodes in memory.
#include "fake_file_system.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "io/memory_file.h"

namespace kv2pelmo::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
const char kElsewhereMark = 0;

// An open file of the fake: a position over its inode's bytes, and a lock.
class FakeHeld final : public HeldFile {
 public:
  FakeHeld(FakeFileSystem& fs, int inode, std::string name, bool writable, bool copy)
      : fs_(fs), inode_(inode), name_(std::move(name)), writable_(writable), copy_(copy) {}
  ~FakeHeld() override { Release(); }
  FakeHeld(const FakeHeld&) = delete;
  FakeHeld& operator=(const FakeHeld&) = delete;

  std::size_t ReadSome(void* data, std::size_t n) override {
    Bytes& bytes = Node().bytes;
    if (position_ >= bytes.size()) return 0;
    n = std::min<std::size_t>(n, bytes.size() - position_);
    std::memcpy(data, bytes.data() + position_, n);
    position_ += n;
    return n;
  }
  void WriteAll(const void* data, std::size_t n) override {
    if (!writable_ || (copy_ && fs_.fail_copies) ||
        (fs_.write_limit && position_ + n > *fs_.write_limit) ||
        (fs_.refuse_writes_past_end && position_ > Node().bytes.size())) {
      throw FileError(FileError::Kind::kWrite, name_);
    }
    MemoryFile file(Node().bytes);
    file.Seek(position_);
    file.WriteAll(data, n);
    position_ += n;
  }
  void Seek(std::uint64_t offset) override { position_ = offset; }
  bool TakesWritesPastTheEnd() override { return !fs_.refuse_writes_past_end; }
  std::uint64_t Size() override { return Node().bytes.size(); }
  void Close() override {
    if (std::exchange(closed_, true)) return;
    Release();
    if (fs_.fail_close) throw FileError(FileError::Kind::kWrite, name_);
  }

  Lookup Facts() override {
    Lookup found{Lookup::State::kFound, fs_.FactsOf(inode_)};
    found.facts.id = fs_.IdAs(inode_, name_);
    return found;
  }
  bool Writable() const override { return writable_; }
  LockResult TryLock() override {
    const void*& lock = Node().lock;
    if (fs_.exclusive_opens || lock == this) return LockResult::kAcquired;
    if (lock != nullptr) return LockResult::kBusy;
    lock = this;
    return LockResult::kAcquired;
  }
  bool Truncate() override {
    Node().bytes.clear();
    return true;
  }
  bool Sync() override {
    fs_.log.push_back(copy_ ? "sync copy" : "sync " + name_);
    return !fs_.fail_sync;
  }
  RenameResult RenameTo(const std::string& to, const std::string& hidden) override {
    if (fs_.fail_naming || !fs_.DirectoryOfPath(to).writable) return RenameResult::kFailed;
    if (fs_.DirectoryOfPath(to).volume != Node().volume) return RenameResult::kCopyNeeded;
    if (!fs_.exclusive_opens && fs_.Has(hidden))
      return RenameResult::kHiddenNameTaken;  // the link is refused
    // Windows renames the held file itself; POSIX links it through its descriptor.
    if (fs_.exclusive_opens && fs_.Look(name_, false).Is(fs_.FactsOf(inode_).id)) fs_.Unlink(name_);
    if (!fs_.exclusive_opens && !fs_.DirectoryOfPath(to).links)
      return RenameResult::kRenameByPathNeeded;
    fs_.Link(inode_, to);
    fs_.log.push_back("name " + to);
    return RenameResult::kRenamed;
  }
  RemoveResult RemoveName(const std::string& name) override {
    return fs_.Remove(name, fs_.FactsOf(inode_).id);
  }

 private:
  FakeFileSystem::Inode& Node() { return fs_.inodes.at(inode_); }
  void Release() {
    if (Node().lock == this) Node().lock = nullptr;
  }

  FakeFileSystem& fs_;
  int inode_;
  std::string name_;
  bool writable_;
  bool copy_;  // a copy across volumes, not an image
  std::uint64_t position_ = 0;
  bool closed_ = false;
};

}  // namespace

const void* const FakeFileSystem::kElsewhere = &kElsewhereMark;

int FakeFileSystem::Put(const std::string& path, std::vector<std::uint8_t> bytes, int owner,
                        unsigned mode) {
  const int inode = next_inode_++;
  Inode& node = inodes[inode];
  node.bytes = std::move(bytes);
  node.owner = owner;
  node.mode = mode;
  node.volume = DirectoryOfPath(path).volume;
  Link(inode, path);
  return inode;
}

std::vector<std::uint8_t> FakeFileSystem::Bytes(const std::string& path) const {
  const auto name = names.find(path);
  return name == names.end() ? std::vector<std::uint8_t>() : inodes.at(name->second).bytes;
}

FileFacts FakeFileSystem::FactsOf(int inode) const {
  const Inode& node = inodes.at(inode);
  FileFacts facts;
  facts.id = {static_cast<std::uint64_t>(node.volume), static_cast<std::uint64_t>(inode)};
  facts.type = node.link_to.empty() ? FileFacts::Type::kRegular : FileFacts::Type::kLink;
  facts.links = static_cast<std::uint64_t>(node.names);
  facts.size = node.bytes.size();
  facts.default_owner_and_mode = node.owner == user && node.mode == (0666 & ~umask);
  return facts;
}

bool FakeFileSystem::May(const Inode& inode, unsigned bits) const {
  return user == 0 || (inode.mode & (inode.owner == user ? bits << 6 : bits)) != 0;
}

bool FakeFileSystem::MayRemove(const std::string& path) const {
  const auto directory = directories.find(DirectoryOf(path));
  const Directory there = directory == directories.end() ? Directory{} : directory->second;
  return user == 0 ||
         (there.writable && (!there.sticky || inodes.at(names.at(path)).owner == user));
}

void FakeFileSystem::Link(int inode, const std::string& path) {
  if (Has(path)) Unlink(path);
  names[path] = inode;
  ++inodes.at(inode).names;
}

void FakeFileSystem::Unlink(const std::string& path) {
  --inodes.at(names.at(path)).names;
  names.erase(path);
}

std::string FakeFileSystem::Spelled(const std::string& path) const {
  const auto directory = directories.find(DirectoryOf(path));
  if (Has(path) || directory == directories.end() || !directory->second.folds_case) return path;
  const auto lower = [](std::string name) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
  };
  for (const auto& [name, inode] : names) {
    if (DirectoryOf(name) == DirectoryOf(path) && lower(name) == lower(path)) return name;
  }
  return path;
}

FileId FakeFileSystem::IdAs(int inode, const std::string& path) const {
  FileId id = FactsOf(inode).id;
  const auto directory = directories.find(DirectoryOf(path));
  if (!Has(path) && directory != directories.end() && !directory->second.stable_ids) {
    id.index |= std::uint64_t{std::hash<std::string>()(path) % 1000 + 1} << 32;
  }
  return id;
}

Lookup FakeFileSystem::Look(const std::string& given, bool follow_links) {
  const std::string path = Spelled(given);
  if (!Has(path)) return Lookup{Lookup::State::kMissing, {}};
  const Inode& node = inodes.at(names.at(path));
  if (follow_links && !node.link_to.empty()) return Look(node.link_to, true);
  Lookup found{Lookup::State::kFound, FactsOf(names.at(path))};
  found.facts.id = IdAs(names.at(path), given);
  return found;
}

std::unique_ptr<InputStream> FakeFileSystem::OpenForReading(const std::string& path) {
  log.push_back("open " + path);
  if (!Has(path) || !May(inodes.at(names.at(path)), 04)) {
    throw FileError(FileError::Kind::kOpen, path);
  }
  return std::make_unique<InputStream>(
      std::make_unique<MemoryFile>(inodes.at(names.at(path)).bytes), path);
}

OpenResult FakeFileSystem::Hold(int inode, const std::string& path, bool writable, bool copy) {
  auto held = std::make_unique<FakeHeld>(*this, inode, path, writable, copy);
  if (exclusive_opens) inodes.at(inode).lock = held.get();
  return OpenResult{std::move(held)};
}

OpenResult FakeFileSystem::Create(const std::string& path) {
  if (Has(Spelled(path))) return OpenResult{nullptr, OpenFailure::kExists};
  if (user != 0 && !DirectoryOfPath(path).writable)
    return OpenResult{nullptr, OpenFailure::kDenied};
  log.push_back("create " + path);
  // What begins with the hidden prefix is a copy's.
  return Hold(Put(path, {}, user, 0666 & ~umask), path, true,
              path.substr(DirectoryOf(path).size()).rfind(".kv2pelmo-", 0) == 0);
}

OpenResult FakeFileSystem::OpenExisting(const std::string& given) {
  const std::string path = Spelled(given);
  if (!Has(path)) return OpenResult{nullptr, OpenFailure::kMissing};
  Inode& node = inodes.at(names.at(path));
  if (!node.link_to.empty()) return OpenResult{nullptr, OpenFailure::kOther};  // never followed
  if (exclusive_opens && node.lock != nullptr) return OpenResult{nullptr, OpenFailure::kBusy};
  // As the platforms do: this user's own file is opened whatever its mode.
  const bool own = node.owner == user;
  if (!own && !May(node, 04) && !May(node, 02)) return OpenResult{nullptr, OpenFailure::kDenied};
  log.push_back("open " + given);
  return Hold(names.at(path), given, May(node, 02), false);
}

OpenResult FakeFileSystem::CreateAnonymous(const std::string& directory) {
  const Directory& there = directories[directory];
  if (exclusive_opens || !there.links) return OpenResult{nullptr, OpenFailure::kUnsupported};
  log.push_back("create nameless in " + directory);
  const int inode = next_inode_++;
  Inode& node = inodes[inode];
  node.owner = user;
  node.mode = 0666 & ~umask;
  node.volume = there.volume;
  return Hold(inode, directory, true, true);
}

RenameResult FakeFileSystem::Rename(const std::string& from, const std::string& to) {
  if (fail_naming || !Has(from)) return RenameResult::kFailed;
  const int inode = names.at(from);
  if (DirectoryOfPath(to).volume != inodes.at(inode).volume) return RenameResult::kCopyNeeded;
  Unlink(from);
  Link(inode, to);
  log.push_back("name " + to);
  return RenameResult::kRenamed;
}

RemoveResult FakeFileSystem::Remove(const std::string& path, const FileId& id) {
  if (!Look(path, false).Is(id)) return RemoveResult::kRemoved;
  if (!MayRemove(path)) return RemoveResult::kDenied;
  log.push_back("remove " + path);
  Unlink(path);
  return RemoveResult::kRemoved;
}

InUse FakeFileSystem::LockedByAnyone(const FileFacts& file) {
  if (locks_unknown) return InUse::kUnknown;
  return inodes.at(static_cast<int>(file.id.index & 0xFFFFFFFF)).lock != nullptr ? InUse::kYes
                                                                                 : InUse::kNo;
}

std::vector<std::string> FakeFileSystem::List(const std::string& directory) {
  std::vector<std::string> found;
  for (const auto& [path, inode] : names) {
    if (DirectoryOf(path) == directory) found.push_back(path.substr(directory.size()));
  }
  return found;
}

void FakeFileSystem::Sleep(int milliseconds) {
  waited += milliseconds;
  for (auto& [at, event] : after_waiting) {
    if (event && waited >= at) std::exchange(event, nullptr)();
  }
}

}  // namespace kv2pelmo::test
