// Runs the converter with CreateProcessA, its output through a pipe.
#include <windows.h>

#include "run_program.h"

namespace kv2pelmo::test {
namespace {

// Quotes arg so that the C runtime's command-line splitting gives it back unchanged.
std::string Quote(const std::string& arg) {
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string WithoutCarriageReturns(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  }
  return out;
}

}  // namespace

std::filesystem::path ProgramPath() {
  char self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  return std::filesystem::path(std::string(self, length)).parent_path().parent_path() /
         "kv2pelmo.exe";
}

ProgramResult RunProgram(const std::filesystem::path& dir, const std::vector<std::string>& args,
                         const RunLimits&) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) return {};
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

  std::string command = Quote(ProgramPath().string());
  for (const std::string& arg : args) command += " " + Quote(arg);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const std::string cwd = dir.string();
  const BOOL started = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        cwd.c_str(), &startup, &process);
  ::CloseHandle(write_end);
  ProgramResult result;
  if (started) {
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      result.out.append(chunk, got);
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (::GetExitCodeProcess(process.hProcess, &code)) result.status = static_cast<int>(code);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
  }
  ::CloseHandle(read_end);
  result.out = WithoutCarriageReturns(result.out);
  return result;
}

}  // namespace kv2pelmo::test
