#include <windows.h>

#include "platform/sys/WinText.h"

#include <climits>

namespace nimo_sys {

std::wstring Utf8ToUtf16(const std::string& text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int in = static_cast<int>(text.size());
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), in, nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), in, out.data(), n);
  return out;
}

std::string Utf16ToUtf8(const wchar_t* text, std::size_t length) {
  if (text == nullptr || length == 0 || length > INT_MAX) return {};
  const int in = static_cast<int>(length);
  int n = WideCharToMultiByte(CP_UTF8, 0, text, in, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, in, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace nimo_sys
