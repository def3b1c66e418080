// Names the finished image after its input and moves it into place.
#ifndef KV2PELMO_CLI_OUTPUT_NAMER_H_
#define KV2PELMO_CLI_OUTPUT_NAMER_H_

#include <cstdint>
#include <ostream>
#include <string>

#include "handover/temporary_image.h"
#include "image/image_writer.h"

namespace kv2pelmo {

/// The name of the image while it is being written, in the current directory.
constexpr const char* kTemporaryImageName = "tempdct3.tmp";

/// The report of a finished image could not be written: the run must not
/// name an image that nobody was told of.
struct ReportNotWritten {};

/// Gives the temporary image its final name and reports it.
class OutputNamer {
 public:
  /// Messages go to out.
  explicit OutputNamer(std::ostream& out) : out_(out) {}

  /// Returns the input path without its extension, then "_MCU_" or "_PPM_"
  /// letter "_", the base address as eight hex digits, and ".fls". A variant
  /// byte that is not an ASCII letter or digit is written as '_'.
  static std::string MakeOutputName(const std::string& input_path, std::int32_t base_address,
                                    ImageKind kind, std::uint8_t variant_letter);

  /// Brings the finished image to the disk, prints the report line through
  /// to out, then moves the image to output_path, replacing any file of that
  /// name. Throws FileError when the image cannot be synced (nothing is
  /// printed then) or moved, and ReportNotWritten, naming nothing, when the report
  /// cannot be written.
  void HandOver(TemporaryImage& image, const std::string& output_path);

 private:
  std::ostream& out_;
};

}  // namespace kv2pelmo

#endif  // KV2PELMO_CLI_OUTPUT_NAMER_H_
