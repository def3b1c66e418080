// Output name rule and the final rename.
#include "cli/output_namer.h"

#include "cli/format.h"
#include "cli/messages.h"
#include "handover/file_system.h"

namespace kv2pelmo {
namespace {

// The path without the extension of its last part: dir.old/file keeps its whole text.
std::string Stem(const std::string& given) {
  const std::string path = WithoutTrailingDotsAndSpaces(given);
  const std::size_t name = DirectoryOf(path).size();
  const std::size_t dot = path.rfind('.');
  return dot != std::string::npos && dot >= name ? path.substr(0, dot) : path;
}

// The byte lands in a file name: only letters and digits are safe there on
// every file system, whatever the code page.
char NameSafe(std::uint8_t letter) {
  const bool safe = (letter >= '0' && letter <= '9') || (letter >= 'A' && letter <= 'Z') ||
                    (letter >= 'a' && letter <= 'z');
  return safe ? static_cast<char>(letter) : '_';
}

}  // namespace

std::string OutputNamer::MakeOutputName(const std::string& input_path, std::int32_t base_address,
                                        ImageKind kind, std::uint8_t variant_letter) {
  std::string tag = "_MCU_";
  if (kind == ImageKind::kPpm) tag = std::string("_PPM_") + NameSafe(variant_letter) + "_";
  return Stem(input_path) + tag +
         Format("%08X", static_cast<unsigned>(static_cast<std::uint32_t>(base_address))) + ".fls";
}

void OutputNamer::HandOver(TemporaryImage& image, const std::string& output_path) {
  image.Sync();
  out_ << Format("Output written to: %s\n\n", Printable(output_path).c_str());
  if (!out_.flush()) throw ReportNotWritten();
  image.MoveTo(output_path);
}

}  // namespace kv2pelmo
