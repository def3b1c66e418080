// The console on POSIX systems: a terminal never closes with the program, so nothing to tell.
#include "platform/console.h"

namespace kv2pelmo {

ConsoleFacts ReadConsoleFacts() { return ConsoleFacts{}; }

}  // namespace kv2pelmo
