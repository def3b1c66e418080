// Runs the converter with CreateProcessW, its arguments UTF-8, its output through a pipe.
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

// The tests give names in UTF-8, as the converter takes them.
std::wstring FromUtf8(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  wide.resize(static_cast<std::size_t>(
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            static_cast<int>(wide.size()))));
  return wide;
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

namespace internal {

// A started program and the read end of its output.
struct Started {
  PROCESS_INFORMATION process{};
  HANDLE output = nullptr;
  bool running = false;
};

std::shared_ptr<Started> Start(const std::filesystem::path& dir,
                               const std::vector<std::string>& args, const RunLimits& limits) {
  const std::filesystem::path& program = limits.program;
  auto shared = std::make_shared<Started>();
  Started& started = *shared;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&started.output, &write_end, &inherit, 0)) return shared;
  ::SetHandleInformation(started.output, HANDLE_FLAG_INHERIT, 0);

  std::string command = Quote((program.empty() ? ProgramPath() : program).string());
  for (const std::string& arg : args) command += " " + Quote(arg);
  std::wstring wide_command = FromUtf8(command);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  HANDLE error = limits.stderr_path.empty()
                     ? nullptr
                     : ::CreateFileW(limits.stderr_path.wstring().c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  startup.hStdError = error != nullptr ? error : ::GetStdHandle(STD_ERROR_HANDLE);
  started.running =
      ::CreateProcessW(nullptr, wide_command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       dir.wstring().c_str(), &startup, &started.process) != 0;
  ::CloseHandle(write_end);  // before another start, which would inherit it
  if (error != nullptr) ::CloseHandle(error);
  return shared;
}

ProgramResult Finish(const Started& started) {
  ProgramResult result;
  if (started.running) {
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(started.output, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      result.out.append(chunk, got);
    }
    ::WaitForSingleObject(started.process.hProcess, INFINITE);
    DWORD code = 0;
    if (::GetExitCodeProcess(started.process.hProcess, &code)) {
      result.status = static_cast<int>(code);
    }
    ::CloseHandle(started.process.hProcess);
    ::CloseHandle(started.process.hThread);
  }
  if (started.output != nullptr) ::CloseHandle(started.output);
  result.out = WithoutCarriageReturns(result.out);
  return result;
}

}  // namespace internal


}  // namespace kv2pelmo::test
