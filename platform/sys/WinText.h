// UTF-8 <-> UTF-16 for the Windows variants of the platform layer (paths,
// registry and system texts). Windows only.
#pragma once

#include <cstddef>
#include <string>

namespace nimo_sys {

// MultiByteToWideChar / WideCharToMultiByte with code page 65001; invalid input
// becomes U+FFFD. Empty on empty input or failure.
std::wstring Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const wchar_t* text, std::size_t length);
inline std::string Utf16ToUtf8(const std::wstring& text) { return Utf16ToUtf8(text.data(), text.size()); }

}  // namespace nimo_sys
