// The console on Windows: whose it is, and whether the standard handles are it.
#include <windows.h>

#include "platform/console.h"

namespace kv2pelmo {
namespace {

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

}  // namespace

ConsoleFacts ReadConsoleFacts() {
  ConsoleFacts facts;
  DWORD ids[2];
  facts.processes = ::GetConsoleProcessList(ids, 2);
  facts.input_is_console = IsConsole(STD_INPUT_HANDLE);
  facts.output_is_console = IsConsole(STD_OUTPUT_HANDLE);
  return facts;
}

}  // namespace kv2pelmo
