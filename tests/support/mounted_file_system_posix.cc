// Making and mounting FAT32 and exFAT images with Debian's tools, for the tests.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "mounted_file_system.h"

namespace kv2pelmo::test {
namespace {

// Runs a shell command; returns its output, or nothing with ok false when it failed.
std::string Shell(const std::string& command, bool& ok) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    ok = false;
    return out;
  }
  char chunk[256];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, got);
  ok = ::pclose(pipe) == 0;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

bool OnItsOwnDevice(const std::filesystem::path& dir) {
  struct stat inside {
  }, parent{};
  return ::stat(dir.c_str(), &inside) == 0 && ::stat(dir.parent_path().c_str(), &parent) == 0 &&
         inside.st_dev != parent.st_dev;
}

}  // namespace

MountedFileSystem::MountedFileSystem(Kind kind) : mount_point_(scratch_ / "mnt") {
  const bool fat = kind == Kind::kFat32;
  const std::string tools = fat ? "mkfs.fat fusefat" : "mkfs.exfat mount.exfat-fuse losetup";
  bool ok = true;
  if (::geteuid() != 0) {
    why_ = "mounting needs root";
  } else if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    why_ = "no /dev/fuse";
  } else {
    Shell("PATH=$PATH:/usr/sbin:/sbin; for t in " + tools + "; do command -v $t || exit 1; done",
          ok);
    if (!ok) why_ = "missing one of: " + tools;
  }
  if (!why_.empty()) return;
  std::filesystem::create_directory(mount_point_);
  const std::string image = (scratch_ / "fs.img").string();
  std::string command = "PATH=$PATH:/usr/sbin:/sbin; truncate -s 64M " + image + " && ";
  command += fat ? "mkfs.fat -F 32 " + image + " >/dev/null && fusefat -o rw+,allow_other " +
                       image + " " + mount_point_.string() + " >/dev/null"
                 : "mkfs.exfat " + image + " >/dev/null && losetup -f --show " + image;
  std::string out = Shell(command, ok);
  if (ok && !fat) {
    loop_device_ = out;
    out = Shell("PATH=$PATH:/usr/sbin:/sbin; mount.exfat-fuse -o allow_other " + loop_device_ +
                    " " + mount_point_.string(),
                ok);
  }
  if (!ok || !OnItsOwnDevice(mount_point_)) {
    why_ = "cannot mount " + std::string(fat ? "FAT32" : "exFAT") + " here: " + out;
  }
}

MountedFileSystem::~MountedFileSystem() {
  bool ok = true;
  if (OnItsOwnDevice(mount_point_)) Shell("umount " + mount_point_.string(), ok);
  if (!loop_device_.empty()) Shell("PATH=$PATH:/usr/sbin:/sbin; losetup -d " + loop_device_, ok);
}

std::string Listing(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string listing;
  for (const std::string& name : names) listing += (listing.empty() ? "" : " ") + name;
  return listing;
}

}  // namespace kv2pelmo::test
