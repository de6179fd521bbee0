#include <windows.h>

#include "platform/sys/Environment.h"
#include "platform/sys/WinText.h"

namespace nimo_sys {

bool ReadEnvironment(const char* name, std::string* value) {
  const std::wstring wideName = Utf8ToUtf16(name);
  if (wideName.empty()) return false;
  // The value may change between the two calls: ask again while it grows.
  std::wstring buffer(256, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableW(wideName.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
      value->clear();  // set, but empty
      return true;
    }
    if (n < buffer.size()) {
      *value = Utf16ToUtf8(buffer.data(), n);
      return true;
    }
    buffer.assign(n, L'\0');  // n counts the terminator here
  }
  return false;
}

}  // namespace nimo_sys
