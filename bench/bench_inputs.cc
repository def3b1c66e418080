// Makes the benchmark's inputs: random flash contents as block files of three record sizes, and
// files whose cost must not grow with their records, their hops or their length.
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

// Writes 2 million one-byte records, record i at address_of(i), and the
// image they give (padded as the converter pads it) beside them.
template <typename AddressOf>
bool SaveOneByteRecords(const std::string& dir, const std::string& name, AddressOf address_of) {
  constexpr std::uint32_t kRecords = 2000000;
  Bytes file;
  file.reserve(kRecords * 10);
  Bytes image;
  for (std::uint32_t i = 0; i < kRecords; ++i) {
    const std::uint32_t offset = address_of(i);
    const auto byte = static_cast<std::uint8_t>(i * 37 + 11);
    Record(kStart + offset, {byte}).AppendTo(file);
    if (image.size() <= offset) image.resize(offset + 1, 0x00);
    image[offset] = byte;
  }
  image.resize((image.size() + 0xFFFF) / 0x10000 * 0x10000, 0xFF);
  return SaveBytes(dir + "/" + name + ".480", file) && SaveBytes(dir + "/" + name + ".bin", image);
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
  // Ascending; hopping between two stretches 32 KiB apart, within 64 KiB;
  // two flash banks 8 MiB apart, written in turn.
  ok = ok && SaveOneByteRecords(dir, "ascending", [](std::uint32_t i) { return i; }) &&
       SaveOneByteRecords(dir, "hop64k",
                          [](std::uint32_t i) { return (i / 2) % 0x8000 + (i % 2) * 0x8000; }) &&
       SaveOneByteRecords(dir, "hop8m", [](std::uint32_t i) { return i / 2 + (i % 2) * 0x800000; });
  // The longest record there is, at address 0.
  const Bytes longest(flash.begin(), flash.begin() + 0xFFFFFF);
  Bytes longest_image = longest;
  longest_image.push_back(0xFF);
  ok = ok && SaveBytes(dir + "/longest.480", Record(0, longest).Build()) &&
       SaveBytes(dir + "/longest.bin", longest_image);
  if (!ok) std::fprintf(stderr, "bench_inputs: cannot write to %s\n", dir.c_str());
  return ok ? 0 : 1;
}
