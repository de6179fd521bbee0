#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "platform/sys/DataFolder.h"
#include "platform/sys/WinText.h"

namespace nimo_sys {

const char* FallbackDataFolder() { return "C:/NimoSteamExeSdk"; }

std::string LocalAppDataFolder() {
  PWSTR path = nullptr;
  HRESULT hr = SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path);
  std::string folder;
  if (SUCCEEDED(hr) && path != nullptr) folder = Utf16ToUtf8(path, wcslen(path));
  CoTaskMemFree(path);  // also after a failure, as the call's contract asks
  return folder;
}

bool IsDirectory(const std::string& path) {
  if (path.empty()) return false;
  DWORD attributes = GetFileAttributesW(Utf8ToUtf16(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (CreateDirectoryW(Utf8ToUtf16(path).c_str(), nullptr)) return true;
  // Another thread or process may have made it first.
  return GetLastError() == ERROR_ALREADY_EXISTS && IsDirectory(path);
}

bool MakeDirectories(const std::string& path) {
  if (IsDirectory(path)) return true;
  // Either separator; the drive ("C:") or the UNC server and share are never made.
  std::size_t start = 1;
  if (path.size() >= 2 && path[1] == ':') start = 3;
  if (path.rfind("\\\\", 0) == 0 || path.rfind("//", 0) == 0) {
    start = path.find_first_of("/\\", 2);
    start = start == std::string::npos ? path.size() : path.find_first_of("/\\", start + 1);
    if (start == std::string::npos) start = path.size();
  }
  for (std::size_t pos = path.find_first_of("/\\", start); pos != std::string::npos;
       pos = path.find_first_of("/\\", pos + 1)) {
    std::string prefix = path.substr(0, pos);
    if (!IsDirectory(prefix) && !MakeDirectory(prefix)) return false;
  }
  return MakeDirectory(path);
}

}  // namespace nimo_sys
