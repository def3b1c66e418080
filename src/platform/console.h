// What the program can tell about the console it runs in.
#ifndef KV2PELMO_PLATFORM_CONSOLE_H_
#define KV2PELMO_PLATFORM_CONSOLE_H_

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

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_CONSOLE_H_
