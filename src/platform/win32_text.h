// Names between the ANSI code page the program works in and the UTF-16 of the wide calls.
#ifndef KV2PELMO_PLATFORM_WIN32_TEXT_H_
#define KV2PELMO_PLATFORM_WIN32_TEXT_H_

#include <windows.h>

#include <string>

namespace kv2pelmo {

/// Returns text, in the ANSI code page, as UTF-16.
inline std::wstring Wide(const std::string& text) {
  const int length = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
  wide.pop_back();
  return wide;
}

/// Sets narrow to wide in the ANSI code page; false where that cannot hold
/// it exactly. Never a best fit: that would be another name.
inline bool Ansi(const wchar_t* wide, std::string& narrow) {
  // UTF-8 takes neither best-fit flags nor a default character: it fails
  // only on what is not UTF-16.
  const UINT code_page = ::GetACP();
  const DWORD flags = code_page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL lossy = FALSE;
  BOOL* const lossy_out = code_page == CP_UTF8 ? nullptr : &lossy;
  const int length =
      ::WideCharToMultiByte(code_page, flags, wide, -1, nullptr, 0, nullptr, lossy_out);
  if (length <= 0 || lossy) return false;
  narrow.assign(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(code_page, flags, wide, -1, narrow.data(), length, nullptr, nullptr);
  narrow.pop_back();
  return true;
}

}  // namespace kv2pelmo

#endif  // KV2PELMO_PLATFORM_WIN32_TEXT_H_
