// A file system in memory with users, permissions, links, locks and volumes, for in-process tests.
#ifndef KV2PELMO_TESTS_SUPPORT_FAKE_FILE_SYSTEM_H_
#define KV2PELMO_TESTS_SUPPORT_FAKE_FILE_SYSTEM_H_

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "handover/file_system.h"

namespace kv2pelmo::test {

/// Files by path, as POSIX keeps them: inodes with an owner, a mode, names
/// and a lock, in directories that may forbid writing, be sticky, lie on
/// another volume or lack links. Failures come on demand.
class FakeFileSystem final : public FileSystem {
 public:
  static constexpr int kOther = 2000;  // another user; the tests run as user 1000

  struct Directory {
    bool writable = true;  // by the user running
    bool sticky = false;   // only a file's owner may remove it
    int volume = 0;
    bool links = true;  // else, as on FAT: no hard links, no nameless files
    std::size_t name_max = 255;
    bool folds_case = false;  // finds a name in any ASCII case, as FAT does
    bool stable_ids = true;   // else each spelling of a name shows its own id (FUSE)
  };
  struct Inode {
    std::vector<std::uint8_t> bytes;
    int owner = 1000;
    unsigned mode = 0644;
    int volume = 0;
    int names = 0;
    const void* lock = nullptr;  // the holder, or kElsewhere
    std::string link_to;         // a symbolic link's target
  };
  /// The holder of a lock that another program has.
  static const void* const kElsewhere;

  int user = 1000;
  unsigned umask = 022;
  std::map<std::string, Directory> directories;  // by directory part; "" is the current one
  std::map<std::string, int> names;              // path to inode
  std::map<int, Inode> inodes;
  std::set<std::string> devices;  // names that are devices, as NUL is on Windows
  /// When set, an image write past this many bytes fails, as on a full disk.
  std::optional<std::uint64_t> write_limit;
  /// When set, a write that starts past the end fails, as through fusefat.
  bool refuse_writes_past_end = false;
  bool fail_naming = false, fail_sync = false, fail_close = false, locks_unknown = false;
  /// When set, writing a copy across volumes fails.
  bool fail_copies = false;
  /// Where a handle shares nothing (Windows): an open of a held file is busy.
  bool exclusive_opens = false;
  /// What the standard streams are; missing unless a test says.
  std::vector<Lookup> standard = std::vector<Lookup>(3, Lookup{Lookup::State::kMissing, {}});
  /// The names they were opened under; empty where the system would not tell.
  std::vector<std::string> standard_names = std::vector<std::string>(3);
  /// What happens once the run has waited that many milliseconds in all.
  std::vector<std::pair<int, std::function<void()>>> after_waiting;
  int waited = 0;
  /// The calls that change or open files, in order: "create tempdct3.tmp",
  /// "open fw.480", "sync tempdct3.tmp", "sync copy", "name out.fls", "remove x", ...
  std::vector<std::string> log;

  /// Makes path a file of this user's, or of owner, with the mode given.
  int Put(const std::string& path, std::vector<std::uint8_t> bytes, int owner = 1000,
          unsigned mode = 0644);
  /// Returns the bytes of path; empty when there is none.
  std::vector<std::uint8_t> Bytes(const std::string& path) const;
  bool Has(const std::string& path) const { return names.count(path) > 0; }
  /// Returns the facts of an inode as this user sees them.
  FileFacts FactsOf(int inode) const;
  bool MayRemove(const std::string& path) const;
  /// Gives inode the name path, replacing what it meant.
  void Link(int inode, const std::string& path);
  void Unlink(const std::string& path);
  Directory& DirectoryOfPath(const std::string& path) { return directories[DirectoryOf(path)]; }
  /// Returns the name path finds: itself, or where the directory folds case
  /// the name listed in another case.
  std::string Spelled(const std::string& path) const;
  /// Returns the id of inode as the spelling path shows it.
  FileId IdAs(int inode, const std::string& path) const;

  bool IsDevice(const std::string& path) override { return devices.count(path) > 0; }
  Lookup Look(const std::string& path, bool follow_links) override;
  std::unique_ptr<InputStream> OpenForReading(const std::string& path) override;
  OpenResult Create(const std::string& path) override;
  OpenResult OpenExisting(const std::string& path) override;
  OpenResult CreateAnonymous(const std::string& directory) override;
  RenameResult Rename(const std::string& from, const std::string& to) override;
  /// Removes path when it still denotes the file id, as an RemoveName does.
  RemoveResult Remove(const std::string& path, const FileId& id);
  InUse LockedByAnyone(const FileFacts& file) override;
  bool NameFits(const std::string& directory, const std::string& name) override {
    return name.size() <= directories[directory].name_max;
  }
  std::vector<std::string> List(const std::string& directory) override;
  bool StableIdentities(const std::string& directory) override {
    return directories[directory].stable_ids;
  }
  void SyncDirectory(const std::string& directory) override {
    log.push_back("sync directory " + directory);
  }
  std::vector<Lookup> StandardStreams() override { return standard; }
  std::string StandardStreamName(std::size_t index) override { return standard_names[index]; }
  void Sleep(int milliseconds) override;
  std::uint64_t UniqueNumber() override { return ++unique_; }

 private:
  bool May(const Inode& inode, unsigned bits) const;
  OpenResult Hold(int inode, const std::string& path, bool writable, bool copy);

  int next_inode_ = 1;
  std::uint64_t unique_ = 0;
};

}  // namespace kv2pelmo::test

#endif  // KV2PELMO_TESTS_SUPPORT_FAKE_FILE_SYSTEM_H_
