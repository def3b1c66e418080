// Holds a file open as other programs do (a flash tool, a preview, a scanner), for the tests.
// Usage: hold_file PATH none|read   (what it shares). Once it holds PATH it makes the
// file "held" in its current directory; it lets go once a file "release" appears there,
// so that a test ends the hold when it has seen enough.
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const DWORD share = std::strcmp(argv[2], "read") == 0 ? FILE_SHARE_READ : 0;
  HANDLE file = ::CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  ::CloseHandle(::CreateFileA("held", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  while (::GetFileAttributesA("release") == INVALID_FILE_ATTRIBUTES) ::Sleep(10);
  ::CloseHandle(file);
  return 0;
}
