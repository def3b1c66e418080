// Writes the fuzzer's seed corpus: small block files of each kind the format allows.
#include <cstdio>
#include <string>
#include <vector>

#include "byte_files.h"
#include "record_builder.h"

namespace {

using kv2pelmo::test::BlockFile;
using kv2pelmo::test::Bytes;
using kv2pelmo::test::Counting;
using kv2pelmo::test::Record;
using kv2pelmo::test::WithPpmMark;

// A fuzz input: the selector byte, the alignator if any, then the block file.
// A read limit (1 to 7) has the block file read a few bytes at a time.
Bytes Seed(const Bytes& file, const Bytes& alignator = {}, bool aligned = false,
           unsigned read_limit = 0) {
  Bytes seed{static_cast<std::uint8_t>((aligned ? 0x80 | alignator.size() : 0) | read_limit << 4)};
  seed.insert(seed.end(), alignator.begin(), alignator.end());
  seed.insert(seed.end(), file.begin(), file.end());
  return seed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seed_corpus DIR\n");
    return 2;
  }
  const Bytes alignator = Record(0x210000, {1}).Build();
  const std::vector<Bytes> seeds = {
      Seed(BlockFile({Record(0x200000, {1, 2, 3, 4})})),
      Seed(BlockFile({Record(0x200000, Counting(16)), Record(0x200020, Counting(16))})),
      Seed(BlockFile({Record(0x3A0000, WithPpmMark(Counting(48, 0x30), 'G')),
                      Record(0x3A0100, Counting(20))})),
      Seed(BlockFile({Record(0x200000, Counting(8))}),
           Bytes(alignator.begin(), alignator.begin() + 9), true),
      Seed(BlockFile({Record(0x200000, {})}), {0x0B, 0x20}, true),
      Seed(BlockFile({Record(0x10, {}), Record(0x20, {}), Record(0x08, {1})})),
      Seed(BlockFile({Record(0x100, Counting(32)), Record(0x108, {0xEE})})),
      Seed(BlockFile({Record(0x200000, {1}), Record(0x200001, {2}).WithId(0x0C)})),
      Seed(BlockFile({Record(0x200000, {1}).WithHeaderChecksum(0)})),
      Seed(BlockFile({Record(0x200000, {1, 2}).WithDataChecksum(0)})),
      Seed(BlockFile({Record(0x200000, Counting(4)).WithLength(0x10)})),
      Seed(BlockFile({Record(0x200000, Counting(20)), Record(0x200014, Counting(40))}), {}, false,
           3),
      Seed(BlockFile({Record(0x200000, {1, 2}), Record(0x200002, Counting(17))}), {}, false, 5),
  };
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(argv[1]) + "/seed-" + std::to_string(i);
    if (!kv2pelmo::test::SaveBytes(path, seeds[i])) {
      std::fprintf(stderr, "make_seed_corpus: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
