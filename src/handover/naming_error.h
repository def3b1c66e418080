// A refusal of the naming policy: the file layer's failure, with the cause only the policy knows.
#ifndef KV2PELMO_HANDOVER_NAMING_ERROR_H_
#define KV2PELMO_HANDOVER_NAMING_ERROR_H_

#include <string>
#include <utility>

#include "io/file_error.h"

namespace kv2pelmo {

/// Creating the temporary image, or naming it, was refused for a cause that
/// the program words on a line of its own.
class NamingError : public FileError {
 public:
  enum class Cause {
    /// A leftover is in the way, and the directory does not let this user remove it.
    kNotRemovable,
    /// A file this user cannot open was in the way while a bound was waited,
    /// and nothing tells whether another user's run still uses it.
    kInUseUnknown,
    /// Nothing tells whether the file is one the image must never be written over.
    kMaybeProtected,
    /// The new name is that of the input file.
    kIsInput,
    /// The new name is that of the alignator file.
    kIsAlignator,
    /// The new name is that of a file the messages are written into.
    kIsStandardStream,
    /// Another user's leftover is in the way, which this user may not open,
    /// and no program holds it.
    kOthersLeftover,
  };

  /// kind is kCreate for path, or kRename from path to target.
  NamingError(Kind kind, std::string path, std::string target, Cause cause)
      : FileError(kind, std::move(path), std::move(target)), cause_(cause) {}

  Cause cause() const { return cause_; }

 private:
  Cause cause_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_HANDOVER_NAMING_ERROR_H_
