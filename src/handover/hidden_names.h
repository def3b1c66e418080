// The hidden names a run gives the copies and links it makes beside an output.
#ifndef KV2PELMO_HANDOVER_HIDDEN_NAMES_H_
#define KV2PELMO_HANDOVER_HIDDEN_NAMES_H_

#include <cstdint>
#include <string>

#include "handover/file_system.h"

namespace kv2pelmo {

/// Returns the hidden name, in directory, of a link or copy of an image
/// that is the file id while a run names it: made of that identity, so that
/// a sweep tells the program's own from a user's file of a like name.
std::string HiddenNameForFile(const std::string& directory, const FileId& id);

/// Returns the random hidden name, in directory, that the number unique
/// gives the first name of a copy: one whose digits check themselves, so
/// that a sweep knows a copy that died before it had its identity's name.
std::string RandomHiddenNameOf(const std::string& directory, std::uint64_t unique);

/// What a name, without its directory, is among the hidden names.
enum class HiddenKind {
  kNone,
  /// Of the form of an identity's name: the file's identity tells whether it is.
  kIdentity,
  /// A random name, whose digits check themselves.
  kRandom,
};
HiddenKind KindOfHiddenName(const std::string& name);

}  // namespace kv2pelmo

#endif  // KV2PELMO_HANDOVER_HIDDEN_NAMES_H_
