// printf-style formatting into a string, for the console texts.
#ifndef KV2PELMO_CLI_FORMAT_H_
#define KV2PELMO_CLI_FORMAT_H_

#include <string>

namespace kv2pelmo {

/// Returns the text printf would print for format and its arguments.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kv2pelmo

#endif  // KV2PELMO_CLI_FORMAT_H_
