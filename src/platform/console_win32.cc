// The console on Windows: whose it is, its code page, and the arguments as the user typed them.
#include <windows.h>

#include "platform/console.h"
#include "platform/win32_text.h"

// The C runtime's own split of the wide command line, as it split the narrow one.
struct WideStartup {
  int new_mode;  // cppcheck-suppress unusedStructMember ; the C runtime reads it
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                              int expand_wildcards, WideStartup* startup);

namespace kv2pelmo {
namespace {

bool IsConsole(DWORD which) {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

// The console's own output code page while the program's is in use; 0 when unchanged.
UINT g_console_code_page = 0;

BOOL WINAPI RestoreOnBreak(DWORD) {
  if (g_console_code_page != 0) ::SetConsoleOutputCP(g_console_code_page);
  return FALSE;  // and on to the default handling, which ends the process
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

// The messages are bytes in the ANSI code page (UTF-8 where the manifest is
// honoured); a console shows bytes in its own, the OEM one unless told.
ScopedConsoleCodePage::ScopedConsoleCodePage() {
  if (!IsConsole(STD_OUTPUT_HANDLE) && !IsConsole(STD_ERROR_HANDLE)) return;
  const UINT own = ::GetConsoleOutputCP();
  if (own == 0 || own == ::GetACP() || !::SetConsoleOutputCP(::GetACP())) return;
  g_console_code_page = own;
  ::SetConsoleCtrlHandler(RestoreOnBreak, TRUE);
}

ScopedConsoleCodePage::~ScopedConsoleCodePage() {
  if (g_console_code_page == 0) return;
  ::SetConsoleOutputCP(g_console_code_page);
  ::SetConsoleCtrlHandler(RestoreOnBreak, FALSE);
  g_console_code_page = 0;
}

// Without the UTF-8 code page (Windows before 10 version 1903), a name the
// code page cannot hold reaches the program changed: best fit makes a
// look-alike of it (fullwidth letters become ASCII ones), which may name
// another file. The wide arguments say what was typed.
std::optional<std::size_t> FirstLossyArgument(const std::vector<std::string>& args) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  WideStartup startup{0};
  if (__wgetmainargs(&count, &wide, &environment, 0, &startup) != 0 || wide == nullptr) {
    return args.empty() ? std::nullopt : std::optional<std::size_t>(0);
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string typed;
    if (i + 1 >= static_cast<std::size_t>(count) || !Ansi(wide[i + 1], typed) || typed != args[i]) {
      return i;
    }
  }
  return std::nullopt;
}

}  // namespace kv2pelmo
