// Makes the benchmark's inputs: the same random flash contents as block files of three record
// sizes.
#include <cstdio>
#include <random>
#include <string>

#include "byte_files.h"
#include "record_builder.h"

namespace {

using kv2pelmo::test::Bytes;
using kv2pelmo::test::Record;
using kv2pelmo::test::SaveBytes;

constexpr std::uint32_t kStart = 0x010000;
constexpr std::uint32_t kEnd = 0x1000000;  // the flash ends just below 16 MiB

// Cuts flash (which starts at kStart) into records of record_size bytes.
Bytes AsBlockFile(const Bytes& flash, std::size_t record_size, std::size_t length) {
  Bytes file;
  file.reserve(length + length / record_size * 9 + 9);
  for (std::size_t at = 0; at < length; at += record_size) {
    const auto first = flash.begin() + static_cast<std::ptrdiff_t>(at);
    Record(kStart + static_cast<std::uint32_t>(at),
           Bytes(first, first + static_cast<std::ptrdiff_t>(record_size)))
        .AppendTo(file);
  }
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_inputs DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  Bytes flash(kEnd - kStart);
  std::mt19937 random(20261208);
  for (std::uint8_t& byte : flash) byte = static_cast<std::uint8_t>(random() >> 24);

  bool ok = SaveBytes(dir + "/flash.bin", flash) &&
            SaveBytes(dir + "/small.bin", Bytes(flash.begin(), flash.begin() + (1 << 20))) &&
            SaveBytes(dir + "/align.48g", Record(0xFFFFFF, {0xFF}).Build()) &&
            SaveBytes(dir + "/small.480", AsBlockFile(flash, 65536, 1 << 20));
  for (std::size_t size : {65536, 256, 32}) {
    ok = ok && SaveBytes(dir + "/r" + std::to_string(size) + ".480",
                         AsBlockFile(flash, size, flash.size()));
  }
  if (!ok) std::fprintf(stderr, "bench_inputs: cannot write to %s\n", dir.c_str());
  return ok ? 0 : 1;
}
