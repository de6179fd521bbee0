// Text conversion between the game's wide strings and the SDK's UTF-8, and the
// machine's client id.
#pragma once

#include <string>

namespace NimoSdk {

class NimoUtils {
 public:
  // Invalid input (lone surrogates, values above U+10FFFF, bad or overlong UTF-8)
  // becomes U+FFFD. Both stop at the first NUL, as the game's strings do.
  static std::string WideToUtf8(const std::wstring& text);
  static std::wstring Utf8ToWide(const std::string& text);

  // Narrow text from the game as valid UTF-8: bad sequences become U+FFFD.
  static std::string CleanUtf8(const std::string& text);

  // The two wide encodings, whatever wchar_t is on this platform.
  static std::string Utf16ToUtf8(const std::u16string& text);
  static std::string Utf32ToUtf8(const std::u32string& text);
  static std::u16string Utf8ToUtf16(const std::string& text);
  static std::u32string Utf8ToUtf32(const std::string& text);

  // The persistent client id of this machine (stored in the shared configuration).
  static std::string GetClientId();
  // The machine's own id, empty when it cannot be read.
  static std::string GetMachineGuid();
};

}  // namespace NimoSdk
