// Opening files and asking after them: the few file-system calls the converter needs.
#ifndef KV2PELMO_PLATFORM_FILE_SYSTEM_H_
#define KV2PELMO_PLATFORM_FILE_SYSTEM_H_

#include <memory>
#include <string>

#include "platform/input_stream.h"

namespace kv2pelmo {

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

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_FILE_SYSTEM_H_
