// Writes the made-up example pair under examples/, or checks that the committed pair is current.
#include <cstdio>
#include <cstring>
#include <string>

#include "byte_files.h"
#include "record_builder.h"

namespace {

using kv2pelmo::test::BlockFile;
using kv2pelmo::test::Bytes;
using kv2pelmo::test::LoadBytes;
using kv2pelmo::test::Record;
using kv2pelmo::test::SaveBytes;
using kv2pelmo::test::WithPpmMark;

// Deterministic filler so that the files never change between runs.
Bytes Pseudorandom(std::size_t count, std::uint32_t seed) {
  Bytes out(count);
  for (std::uint8_t& byte : out) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(seed >> 24);
  }
  return out;
}

// Microcontroller flash at 0x200000: three blocks, with a gap before the last.
Bytes McuFile() {
  Bytes file;
  const std::uint32_t addresses[] = {0x200000, 0x200400, 0x201000};
  for (std::uint32_t address : addresses)
    Record(address, Pseudorandom(1024, address)).AppendTo(file);
  return file;
}

// Parameter flash at 0x3A0000; its first block carries the mark and variant 'G'.
Bytes PpmFile() {
  const Bytes first = WithPpmMark(Pseudorandom(512, 0x3A0000), 'G');
  return BlockFile({Record(0x3A0000, first), Record(0x3A0200, Pseudorandom(1536, 0x3A0200))});
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
  if (argc != 2 && !check) {
    std::fprintf(stderr, "usage: make_examples [--check] DIR\n");
    return 2;
  }
  const std::string dir = argv[argc - 1];
  const std::pair<std::string, Bytes> files[] = {{dir + "/npm5nx03.480", McuFile()},
                                                 {dir + "/npm5nx03.48g", PpmFile()}};
  for (const auto& [path, bytes] : files) {
    if (check ? LoadBytes(path) != bytes : !SaveBytes(path, bytes)) {
      std::fprintf(stderr, "make_examples: %s %s\n", path.c_str(),
                   check ? "is stale" : "not written");
      return 1;
    }
  }
  return 0;
}
