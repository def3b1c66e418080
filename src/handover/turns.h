// Taking the turn on the temporary image that runs share.
#ifndef KV2PELMO_HANDOVER_TURNS_H_
#define KV2PELMO_HANDOVER_TURNS_H_

#include <memory>
#include <string>

#include "handover/file_system.h"
#include "handover/naming_error.h"
#include "handover/same_file.h"
#include "handover/waiting.h"

namespace kv2pelmo {

/// Creates path anew, or takes over a leftover of that name, and returns it
/// held, locked and empty. Waits through waiter while another run holds it.
/// Throws FileError(kCreate), or NamingError with its cause, as
/// TemporaryImage::Create says.
std::unique_ptr<HeldFile> ClaimTemporaryImage(FileSystem& files, const std::string& path,
                                              const ProtectedFiles& protect, Waiter& waiter);

}  // namespace kv2pelmo

#endif  // KV2PELMO_HANDOVER_TURNS_H_
