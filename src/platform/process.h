// Readying the process for a run, as each platform must.
#ifndef KV2PELMO_PLATFORM_PROCESS_H_
#define KV2PELMO_PLATFORM_PROCESS_H_

namespace kv2pelmo {

/// Readies the process for a run: a file-size limit makes a write fail
/// instead of ending the process, and standard descriptors that are closed
/// are opened on the null device, so that no file of the run takes their
/// numbers. Returns false when standard output was closed.
bool PrepareProcess();

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_PROCESS_H_
