// The program's texts for refusals and failures, and names made safe to print.
#ifndef KV2PELMO_CLI_MESSAGES_H_
#define KV2PELMO_CLI_MESSAGES_H_

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "blockfile/block_reader.h"
#include "handover/naming_error.h"
#include "image/block_map.h"
#include "image/conversion.h"
#include "io/file_error.h"

namespace kv2pelmo {

/// The texts a run prints as they stand: the banner, the usage (the short
/// one after a mistake, the long one with the options for --help), the
/// version, and the refusals that need no details.
extern const char* const kBanner;
extern const char* const kUsage;
extern const char* const kHelpUsage;
extern const char* const kOptions;
extern const char* const kVersionLine;
extern const char* const kInputMissingMessage;
extern const char* const kAlignatorMissingMessage;
extern const char* const kOutOfMemoryMessage;

/// Returns name with every byte below 0x20, and 0x7F, written as \xNN, so
/// that no name can forge a line or send a terminal sequence; other bytes
/// stay as they are.
std::string Printable(const std::string& name);

/// Returns the message for a refusal, for example
/// "Error: Invalid block ID at 0x000000.\n\n".
std::string RefusalMessage(const Refusal& refusal);

/// Returns the message for a failure of the file layer, for example
/// "Error: Stream read error.\n\n"; for a refused name or a file cut short,
/// with a second line that says why.
std::string FileErrorMessage(const FileError& error);
std::string FileErrorMessage(const NamingError& error);
std::string FileErrorMessage(const RecordCutShort& error);

/// Returns the message for an input (or an alignator) that names a device.
std::string DeviceMessage(bool alignator);

/// Returns the message for an argument, at index after the program's name,
/// that is not what the user typed.
std::string LossyArgumentMessage(std::size_t index);

/// Returns the message for an output name too long for its file system.
std::string NameTooLongMessage();

/// Returns the notice, for standard error, that the run waits for another
/// program to release the file at path.
std::string WaitNotice(const std::string& path);

/// Returns the notice, for standard error, that the alignator begins below
/// the image's end.
std::string AlignatorBelowEndNotice(const std::string& alignator);

/// Prints what --info tells of an image, a line each; the ranges as map
/// finds them, however many there are.
void PrintImageDescription(const ImageFacts& image, const std::string& output_name, BlockMap& map,
                           std::uint64_t image_size, std::ostream& out);

}  // namespace kv2pelmo

#endif  // KV2PELMO_CLI_MESSAGES_H_
