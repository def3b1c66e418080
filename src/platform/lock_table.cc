// Reading the lock table: the fields of each line, the device in hex.
#include "platform/lock_table.h"

#include <cstdlib>
#include <sstream>
#include <string>

namespace kv2pelmo {
namespace {

// True when a "major:minor:inode" field names the file.
bool FieldIs(const std::string& field, unsigned long major_number, unsigned long minor_number,
             std::uint64_t inode) {
  char* end = nullptr;
  const unsigned long major_read = std::strtoul(field.c_str(), &end, 16);
  if (*end != ':') return false;
  const unsigned long minor_read = std::strtoul(end + 1, &end, 16);
  if (*end != ':') return false;
  const unsigned long long inode_read = std::strtoull(end + 1, &end, 10);
  return *end == '\0' && inode_read == inode && major_read == major_number &&
         minor_read == minor_number;
}

}  // namespace

InUse HeldInLockTable(std::istream& table, unsigned long major_number, unsigned long minor_number,
                      std::uint64_t inode) {
  InUse in_use = InUse::kNo;
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 6 && fields >> field; ++i) {
    }
    if (line.find("->") == std::string::npos && FieldIs(field, major_number, minor_number, inode)) {
      in_use = InUse::kYes;
    }
  }
  return in_use;
}

bool LockTableNamesDevice(std::istream& mounts, unsigned long major_number,
                          unsigned long minor_number) {
  const std::string device = std::to_string(major_number) + ":" + std::to_string(minor_number);
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, field;
    fields >> id >> parent >> field;
    const std::size_t dash = line.find(" - ");
    if (field != device || dash == std::string::npos) continue;
    std::istringstream type(line.substr(dash + 3));
    std::string name;
    type >> name;
    if (name != "overlay") return true;
  }
  return false;
}

}  // namespace kv2pelmo
