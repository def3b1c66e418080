// The one failure of the file layer: what failed, on which file, and why where that is known.
#ifndef KV2PELMO_IO_FILE_ERROR_H_
#define KV2PELMO_IO_FILE_ERROR_H_

#include <exception>
#include <string>
#include <utility>

namespace kv2pelmo {

/// A failure of the file layer. It carries no text for the user: the program
/// words it from the kind, the path and the reason.
class FileError : public std::exception {
 public:
  /// What was being done when it failed.
  enum class Kind { kOpen, kCreate, kRead, kWrite, kRename };
  /// Why, where the file layer knows more than the kind says.
  enum class Reason {
    kNone,
    /// The file ends before the bytes asked for.
    kEndOfFile,
    /// Another program has the file open, and keeps this run out of it.
    kHeld,
    /// The system denies this user the file: a permission, not a hold.
    kDenied,
  };

  /// path is the file the operation was on; for kRename, target is the new name.
  FileError(Kind kind, std::string path, std::string target = std::string(),
            Reason reason = Reason::kNone)
      : kind_(kind), path_(std::move(path)), target_(std::move(target)), reason_(reason) {}
  FileError(Kind kind, std::string path, Reason reason)
      : FileError(kind, std::move(path), std::string(), reason) {}

  Kind kind() const { return kind_; }
  const std::string& path() const { return path_; }
  const std::string& target() const { return target_; }
  Reason reason() const { return reason_; }
  /// The path, for a debugger or an unexpected handler; never shown as is.
  const char* what() const noexcept override { return path_.c_str(); }

 private:
  Kind kind_;
  std::string path_;
  std::string target_;
  Reason reason_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_IO_FILE_ERROR_H_
