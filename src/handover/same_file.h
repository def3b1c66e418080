// Whether a file is one a run must never write over: by identity, and by name where identities
// fail.
#ifndef KV2PELMO_HANDOVER_SAME_FILE_H_
#define KV2PELMO_HANDOVER_SAME_FILE_H_

#include <cstddef>
#include <optional>
#include <string>

#include "handover/file_system.h"

namespace kv2pelmo {

/// The files the user gave a run, which it must never write over or remove.
struct ProtectedFiles {
  std::string input;
  std::optional<std::string> alignator;
};

/// What a file is to the files a run must never write over or remove. The
/// order matters: the strongest answer of several is the one that holds.
enum class SameFile { kNo, kCannotTell, kYes };

/// Where identities may follow the spelling (FUSE mounts of FAT and exFAT),
/// compares the name path with given, a name the user gave: the same name
/// in a directory that folds case is the same file. Directories spelled
/// apart cannot be told apart there. kNo where identities are stable.
SameFile SameByName(FileSystem& files, const std::string& path, const std::string& given);

/// Compares standard stream index with the file id, named path: where
/// identities may follow the spelling, a stream that is a file on the same
/// volume may be it under another spelling, unless the name the stream was
/// opened under is not one of path's spellings.
SameFile SameAsStream(FileSystem& files, std::size_t index, const Lookup& stream,
                      const std::string& path, const FileId& id);

/// Compares the file id, named path, with the input, the alignator and the
/// standard streams. "Cannot tell" never counts as "not the same".
SameFile SameAsProtected(FileSystem& files, const std::string& path, const FileId& id,
                         const ProtectedFiles& protect);

}  // namespace kv2pelmo

#endif  // KV2PELMO_HANDOVER_SAME_FILE_H_
