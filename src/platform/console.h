// What the program can tell about the console it runs in, and the names it was given.
#ifndef KV2PELMO_PLATFORM_CONSOLE_H_
#define KV2PELMO_PLATFORM_CONSOLE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kv2pelmo {

/// The console around the process, as far as the platform tells.
struct ConsoleFacts {
  /// Processes attached to the console: 1 when it was made for this process
  /// alone, as for a program started from Explorer; 0 where nobody knows.
  unsigned processes = 0;
  /// Whether standard input and standard output are that console.
  bool input_is_console = false;
  bool output_is_console = false;
};

/// Returns the facts of this process's console.
ConsoleFacts ReadConsoleFacts();

/// While it lives, a console shows the program's text in the code page its
/// names are in, so that they show as typed; the console's own comes back
/// after, also when the run is interrupted.
class ScopedConsoleCodePage {
 public:
  ScopedConsoleCodePage();
  // Not trivial on Windows, where it gives the console its own back.
  ~ScopedConsoleCodePage();  // NOLINT(performance-trivially-destructible)
  ScopedConsoleCodePage(const ScopedConsoleCodePage&) = delete;
  ScopedConsoleCodePage& operator=(const ScopedConsoleCodePage&) = delete;
};

/// Returns the index of the first of args (the arguments after the
/// program's name) that is not exactly what the user typed: one the code
/// page cannot hold, which would arrive as another name. Nothing where all
/// are exact, as everywhere but on Windows without the UTF-8 code page.
std::optional<std::size_t> FirstLossyArgument(const std::vector<std::string>& args);

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_CONSOLE_H_
