// What the platforms share of the file system: existence and a path's directory part.
#include "handover/file_system.h"

namespace kv2pelmo {

bool MayExist(FileSystem& files, const std::string& path) {
  // Only the system's word that there is no such file makes it missing; on
  // any other failure (a directory that cannot be searched, say) opening it
  // tells what is wrong.
  const Lookup found = files.Look(path, true);
  return found.state == Lookup::State::kUnknown ||
         (found.Found() && found.facts.type != FileFacts::Type::kDirectory);
}

bool NameStillRefersTo(FileSystem& files, const std::string& name, HeldFile& file) {
  const Lookup held = file.Facts();
  return held.Found() && files.Look(name, false).Is(held.facts.id);
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t end = path.find_last_of(PathSeparators());
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

}  // namespace kv2pelmo
