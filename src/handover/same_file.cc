// Comparing files with the protected ones: identities first, then names where identities fail.
#include "handover/same_file.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace kv2pelmo {
namespace {

using Type = FileFacts::Type;

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
      if (byte < 0x80 || !drop_wide) {
        // ASCII folded by hand: the C library's would follow the locale.
        out += static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte);
      }
    }
    return std::pair{out, wide};
  };
  const auto [a_folded, a_wide] = folded(a, false);
  const auto [b_folded, b_wide] = folded(b, false);
  return a_folded == b_folded || (a_wide && b_wide && folded(a, true) == folded(b, true));
}

}  // namespace

// Where each spelling of a name may show its own identity, the names
// themselves are compared. Two spellings in one directory are one file when
// the system finds the one not listed there: it folds case. Directories
// spelled apart cannot be told apart on such a system.
SameFile SameByName(FileSystem& files, const std::string& path, const std::string& given) {
  if (files.StableIdentities(DirectoryOf(path)) ||
      !MayFoldTogether(BaseName(path), BaseName(given))) {
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

SameFile SameAsStream(FileSystem& files, std::size_t index, const Lookup& stream,
                      const std::string& path, const FileId& id) {
  if (stream.Is(id)) return SameFile::kYes;
  if (stream.state == Lookup::State::kUnknown) return SameFile::kCannotTell;
  const bool near = stream.Found() && stream.facts.type == Type::kRegular &&
                    (stream.facts.id.volume == id.volume || id.volume == FileId::kAnyVolume);
  if (!near || files.StableIdentities(DirectoryOf(path))) return SameFile::kNo;
  // Messages logged into a file beside the image, as scripts do, are no
  // reason to refuse: only a name that may fold into path's may be path.
  const std::string name = files.StandardStreamName(index);
  if (!name.empty() && !MayFoldTogether(BaseName(name), BaseName(path))) return SameFile::kNo;
  return SameFile::kCannotTell;
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
  const std::vector<Lookup> streams = files.StandardStreams();
  for (std::size_t i = 0; i < streams.size(); ++i) {
    same = std::max(same, SameAsStream(files, i, streams[i], path, id));
  }
  return same;
}

}  // namespace kv2pelmo
