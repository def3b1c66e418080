// The one failure of the file layer: what failed, and on which file.
#ifndef KV2PELMO_PLATFORM_FILE_ERROR_H_
#define KV2PELMO_PLATFORM_FILE_ERROR_H_

#include <exception>
#include <string>
#include <utility>

namespace kv2pelmo {

/// A failure of the file layer. It carries no text for the user: the program
/// words it from the kind and the path.
class FileError : public std::exception {
 public:
  /// What was being done when it failed.
  enum class Kind { kOpen, kCreate, kRead, kWrite, kRename };

  /// path is the file the operation was on; for kRename, target is the new name.
  FileError(Kind kind, std::string path, std::string target = std::string())
      : kind_(kind), path_(std::move(path)), target_(std::move(target)) {}

  Kind kind() const { return kind_; }
  const std::string& path() const { return path_; }
  const std::string& target() const { return target_; }
  /// The path, for a debugger or an unexpected handler; never shown as is.
  const char* what() const noexcept override { return path_.c_str(); }

 private:
  Kind kind_;
  std::string path_;
  std::string target_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_FILE_ERROR_H_
