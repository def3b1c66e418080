// printf-style formatting into a string.
#include "cli/format.h"

#include <cstdarg>
#include <cstdio>

namespace kv2pelmo {

// C-style variadic on purpose: the compiler checks every format against its
// arguments, as it does for printf.
std::string Format(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  va_list args;
  va_start(args, format);
  // The analyzer of clang 14 misses va_start on an array-typed va_list.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (size <= 0) return std::string();
  std::string text(static_cast<std::size_t>(size), '\0');
  va_start(args, format);
  (void)std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

}  // namespace kv2pelmo
