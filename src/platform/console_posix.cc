// The console on POSIX systems: a terminal never closes with the program, and names are bytes.
#include "platform/console.h"

namespace kv2pelmo {

ConsoleFacts ReadConsoleFacts() { return ConsoleFacts{}; }

// A terminal shows the bytes it is sent; nothing to choose.
ScopedConsoleCodePage::ScopedConsoleCodePage() = default;
ScopedConsoleCodePage::~ScopedConsoleCodePage() = default;

// The arguments are the bytes the caller passed: always exact.
std::optional<std::size_t> FirstLossyArgument(const std::vector<std::string>&) {
  return std::nullopt;
}

}  // namespace kv2pelmo
