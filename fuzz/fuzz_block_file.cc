// Fuzzes the conversion: any block file, with any short alignator, gives either
// exactly the image a plain model of the format predicts, or a refusal with a
// message. The first input byte chooses the alignator: with its top bit set,
// its low four bits give the alignator's length and those bytes follow. Its
// bits 4 to 6 choose how many bytes the block file hands out per read.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "byte_files.h"
#include "cli/output_namer.h"
#include "cli/run.h"
#include "memory_stream.h"
#include "platform/buffered_stream.h"

namespace kv2pelmo {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct ModelResult {
  Bytes image;
  std::int64_t base = -1;
  bool ppm = false;
  std::uint8_t variant = 0;
};

struct ModelBlock {
  std::int64_t offset;
  const std::uint8_t* data;
  std::size_t length;
};

// Walks the records the plain way; returns the blocks, or nothing for a file
// that must be refused.
std::optional<std::vector<ModelBlock>> ModelBlocks(const Bytes& file, std::int64_t& base) {
  std::vector<ModelBlock> blocks;
  for (std::size_t at = 0; at < file.size();) {
    if (file.size() - at < 9) return std::nullopt;
    const std::uint8_t* h = file.data() + at;
    unsigned header_sum = 0;
    for (int i = 1; i <= 7; ++i) header_sum += h[i];
    if (h[0] != 0x0B || static_cast<std::uint8_t>(~header_sum) != h[8]) return std::nullopt;
    const std::int64_t address = (h[1] << 16) | (h[2] << 8) | h[3];
    const std::size_t length = static_cast<std::size_t>((h[5] << 16) | (h[6] << 8) | h[7]);
    if (file.size() - at - 9 < length) return std::nullopt;
    std::uint8_t data_sum = 0;
    for (std::size_t i = 0; i < length; ++i)
      data_sum = static_cast<std::uint8_t>(data_sum - h[9 + i]);
    if (data_sum != h[4]) return std::nullopt;
    if (base < 0) base = address;
    if (address < base) return std::nullopt;
    blocks.push_back({address - base, h + 9, length});
    at += 9 + length;
  }
  if (blocks.empty()) return std::nullopt;
  return blocks;
}

std::optional<ModelResult> Model(const Bytes& file, std::optional<std::int64_t> align_to) {
  ModelResult result;
  const auto blocks = ModelBlocks(file, result.base);
  if (!blocks) return std::nullopt;
  std::int64_t end = 0;  // writing nothing does not extend the file
  for (const ModelBlock& block : *blocks) {
    if (block.length > 0)
      end = std::max(end, block.offset + static_cast<std::int64_t>(block.length));
  }
  std::int64_t size = (end + 65535) / 65536 * 65536;
  if (align_to) size = std::max(size, *align_to - result.base);
  result.image.assign(static_cast<std::size_t>(size), 0xFF);
  std::fill_n(result.image.begin(), end, 0x00);
  for (const ModelBlock& block : *blocks) {
    if (block.length > 0)
      std::copy_n(block.data, block.length, result.image.begin() + block.offset);
    if (block.offset == 0 && block.length >= 3 && block.data[0] == 'P' && block.data[1] == 'P' &&
        block.data[2] == 'M') {
      result.ppm = true;
      result.variant = block.length > 40 ? block.data[40] : 0;
    }
  }
  return result;
}

void Check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

std::string AlignatorPath() {
  static const std::string path = [] {
    char name[] = "/tmp/kv2pelmo-fuzz-alignator-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    return std::string(name);
  }();
  return path;
}

void CheckName(const FinishedImage& image, const ModelResult& model) {
  const std::string name = OutputNamer::MakeOutputName("dir.x/fw.480", image.base_address,
                                                       image.kind, image.variant_letter);
  char expected[64];
  const char letter = static_cast<char>(model.variant);
  const bool safe = (letter >= '0' && letter <= '9') || (letter >= 'A' && letter <= 'Z') ||
                    (letter >= 'a' && letter <= 'z');
  if (model.ppm) {
    std::snprintf(expected, sizeof expected, "dir.x/fw_PPM_%c_%08X.fls", safe ? letter : '_',
                  static_cast<unsigned>(model.base));
  } else {
    std::snprintf(expected, sizeof expected, "dir.x/fw_MCU_%08X.fls",
                  static_cast<unsigned>(model.base));
  }
  Check(name == expected, "the name follows the rule");
}

// A block file that hands out at most limit bytes per read, as a pipe or a
// network file may: records then lie across every refill of the read-ahead.
class ShortReads : public testing::MemoryStream {
 public:
  ShortReads(std::vector<std::uint8_t> bytes, std::size_t limit)
      : MemoryStream(std::move(bytes)), limit_(limit) {}
  std::size_t ReadSome(void* data, std::size_t n) override {
    return MemoryStream::ReadSome(data, std::min(n, limit_));
  }

 private:
  std::size_t limit_;
};

// Read sizes around a header's nine bytes, and one without a limit.
constexpr std::size_t kReadLimits[] = {SIZE_MAX, 1, 4, 8, 9, 10, 13, 33};

// One fuzz input taken apart: the block file and the alignator, if any.
struct FuzzCase {
  Bytes file;
  std::size_t read_limit = SIZE_MAX;
  std::optional<std::string> alignator;
  std::optional<std::int64_t> align_to;  // the alignator's address when it has one
  bool short_alignator = false;
};

FuzzCase TakeApart(const std::uint8_t* data, std::size_t size) {
  FuzzCase input;
  input.read_limit = kReadLimits[(data[0] >> 4) & 0x07];
  std::size_t at = 1;
  if (data[0] & 0x80) {
    const std::size_t length = std::min<std::size_t>(data[0] & 0x0F, size - 1);
    Check(testing::SaveBytes(AlignatorPath(), Bytes(data + 1, data + 1 + length)),
          "the alignator can be written");
    input.alignator = AlignatorPath();
    if (length >= 9) input.align_to = (data[2] << 16) | (data[3] << 8) | data[4];
    input.short_alignator = length < 9;
    at += length;
  }
  input.file.assign(data + at, data + size);
  return input;
}

void CheckImage(const FuzzCase& input, const FinishedImage& finished, const Bytes& bytes,
                const ModelResult& model) {
  const bool aligned = input.align_to && static_cast<std::int64_t>(bytes.size()) ==
                                             *input.align_to - finished.base_address;
  Check(bytes.size() % 65536 == 0 || aligned, "the size is whole units or the alignment target");
  Check(bytes == model.image, "every block's bytes are at their offset, the rest as predicted");
  Check(finished.base_address == model.base, "the base address is the first block's");
  CheckName(finished, model);
}

}  // namespace
}  // namespace kv2pelmo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kv2pelmo;
  if (size == 0) return 0;
  const FuzzCase input = TakeApart(data, size);

  // The program's streams, over memory instead of files.
  auto image_file = std::make_unique<testing::MemoryStream>();
  const testing::MemoryStream& image_bytes = *image_file;
  BufferedStream source(std::make_unique<ShortReads>(input.file, input.read_limit));
  BufferedStream image(std::move(image_file));
  std::ostringstream out;
  std::optional<FinishedImage> finished;
  bool file_error = false;
  try {
    finished = ConvertStreams(source, image, input.alignator, out);
  } catch (const FileError&) {
    file_error = true;
  }

  const std::optional<ModelResult> model = Model(input.file, input.align_to);
  Check(finished.has_value() == (model.has_value() && !input.short_alignator),
        "an image exists exactly for a fully valid file");
  if (finished) {
    CheckImage(input, *finished, image_bytes.Bytes(), *model);
  } else {
    Check(file_error || out.str().rfind("Error: ", 0) == 0, "a refusal says why");
  }
  return 0;
}
