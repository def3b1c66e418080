// What the platforms share of the file layer: existence, the copy, a path's directory part.
#include "platform/file_system.h"

#include <vector>

namespace kv2pelmo {

bool FileExists(FileSystem& files, const std::string& path) {
  // Only the system's word that there is no such file makes it missing; on
  // any other failure (a directory that cannot be searched, say) opening it
  // tells what is wrong.
  const Lookup found = files.Look(path, true);
  return found.state == Lookup::State::kUnknown ||
         (found.Found() && found.facts.type != FileFacts::Type::kDirectory);
}

void CopyRest(RawFile& from, RawFile& to) {
  std::vector<unsigned char> chunk(std::size_t{1} << 16);
  while (const std::size_t got = from.ReadSome(chunk.data(), chunk.size())) {
    to.WriteAll(chunk.data(), got);
  }
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t end = path.find_last_of(PathSeparators());
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

}  // namespace kv2pelmo
