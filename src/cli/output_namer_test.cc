// The output name rule: stem, tag, variant letter and address.
#include "cli/output_namer.h"

#include <gtest/gtest.h>

namespace kv2pelmo {
namespace {

std::string Name(const std::string& input, std::int32_t base, ImageKind kind = ImageKind::kMcu,
                 std::uint8_t letter = 0) {
  return OutputNamer::MakeOutputName(input, base, kind, letter);
}

TEST(OutputNamerTest, StemDropsOnlyTheLastExtension) {
  EXPECT_EQ(Name("fw", 0), "fw_MCU_00000000.fls");
  EXPECT_EQ(Name("a.b.c", 0), "a.b_MCU_00000000.fls");
  EXPECT_EQ(Name(".480", 0), "_MCU_00000000.fls");
  EXPECT_EQ(Name("dir/sub/fw.480", 0xFFFFFF), "dir/sub/fw_MCU_00FFFFFF.fls");
  EXPECT_EQ(Name("dir.old/file", 0x10), "dir.old/file_MCU_00000010.fls");
  EXPECT_EQ(Name("./file", 0x10), "./file_MCU_00000010.fls");
}

TEST(OutputNamerTest, OnlyLettersAndDigitsMakeItIntoTheName) {
  for (std::uint8_t letter : std::initializer_list<std::uint8_t>{'A', 'z', '7'}) {
    EXPECT_EQ(Name("f.48g", 0x3A0000, ImageKind::kPpm, letter),
              std::string("f_PPM_") + static_cast<char>(letter) + "_003A0000.fls");
  }
  for (std::uint8_t letter :
       std::initializer_list<std::uint8_t>{0x00, '/', '.', '\\', ':', '*', ' ', 0x7F, 0xC4}) {
    EXPECT_EQ(Name("f.48g", 0x3A0000, ImageKind::kPpm, letter), "f_PPM___003A0000.fls")
        << "byte " << int{letter};
  }
}

}  // namespace
}  // namespace kv2pelmo
