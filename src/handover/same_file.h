// Whether a file is one a run must never write over: by identity, and by name where identities
// fail.
#ifndef KV2PELMO_HANDOVER_SAME_FILE_H_
#define KV2PELMO_HANDOVER_SAME_FILE_H_

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

/// Compares a standard stream with the file id in a directory whose
/// identities are stable or not: a stream that is a file on the same volume
/// may be it under another spelling where they are not.
SameFile SameAsStream(const Lookup& stream, const FileId& id, bool stable);

/// Compares the file id, named path, with the input, the alignator and the
/// standard streams. "Cannot tell" never counts as "not the same".
SameFile SameAsProtected(FileSystem& files, const std::string& path, const FileId& id,
                         const ProtectedFiles& protect);

}  // namespace kv2pelmo

#endif  // KV2PELMO_HANDOVER_SAME_FILE_H_
