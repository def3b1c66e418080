// Opening files and asking after them: the few file-system calls the converter needs.
#ifndef KV2PELMO_PLATFORM_FILE_SYSTEM_H_
#define KV2PELMO_PLATFORM_FILE_SYSTEM_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/input_stream.h"
#include "platform/temporary_image.h"

namespace kv2pelmo {

/// What a run asks of the files around it: whether a name exists, opening
/// one for reading, and creating and holding the temporary image.
///
/// Abstract so that the run goes over the platform's files or, in tests,
/// over files in memory. PlatformFileSystem() is the real one.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  /// As FileExists.
  virtual bool Exists(const std::string& path) = 0;
  /// As OpenForReading.
  virtual std::unique_ptr<InputStream> OpenForReading(const std::string& path) = 0;
  /// As TemporaryImage::Create.
  virtual std::unique_ptr<TemporaryImage> CreateImage(
      const std::string& path, const std::vector<std::string>& spared,
      const std::function<void()>& on_long_wait) = 0;
};

/// Returns the platform's file system: the functions below.
FileSystem& PlatformFileSystem();

/// Opens an existing file for reading, letting others read but not write it.
/// Throws FileError(kOpen) when it cannot be opened.
std::unique_ptr<InputStream> OpenForReading(const std::string& path);

/// Returns false when the system says path does not exist or is a directory;
/// true otherwise, also when it cannot tell (then opening it will).
bool FileExists(const std::string& path);

/// Readies the process for a run: a file-size limit makes a write fail
/// instead of ending the process, and standard descriptors that are closed
/// are opened on the null device, so that no file of the run takes their
/// numbers. Returns false when standard output was closed.
bool PrepareProcess();

/// Returns the characters that end the directory part of a path on this
/// platform ("/" here, more on others).
const char* PathSeparators();

/// Returns the directory part of path, separator included; empty for a bare name.
std::string DirectoryOf(const std::string& path);

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_FILE_SYSTEM_H_
