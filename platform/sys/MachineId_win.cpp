#include <windows.h>

#include "platform/sync/Mutex.h"
#include "platform/sys/MachineId.h"
#include "platform/sys/WinText.h"


namespace nimo_sys {
namespace {

constexpr DWORD kMaxBytes = 4096;  // a GUID is 74 bytes in UTF-16

nimo_sync::Mutex& PlacesMutex() {
  static nimo_sync::Mutex* m = new nimo_sync::Mutex();
  return *m;
}
std::vector<std::string>& TestPlaces() {  // guarded by PlacesMutex()
  static std::vector<std::string>* places = new std::vector<std::string>();
  return *places;
}

}  // namespace

const char* MachineIdFailureText(MachineIdStatus status) {
  switch (status) {
    case MachineIdStatus::kOk:
      return "";
    case MachineIdStatus::kOpenFailed:
      return "Failed to open registry key x64";
    case MachineIdStatus::kSizeFailed:
      return "Failed to query value size";
    case MachineIdStatus::kBadFormat:
      return "Incorrect registry value type";
    case MachineIdStatus::kReadFailed:
      return "Failed to read registry value";
  }
  return "";
}

MachineIdResult ReadMachineId(const std::vector<std::string>& places) {
  MachineIdResult r;
  const std::wstring subkey = places.empty() ? std::wstring() : Utf8ToUtf16(places.front());
  HKEY key = nullptr;
  // The 64-bit view: a 32-bit view would show another (or no) value.
  if (subkey.empty() ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
    r.status = MachineIdStatus::kOpenFailed;
    return r;
  }
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, L"MachineGuid", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size > kMaxBytes) {
    r.status = MachineIdStatus::kSizeFailed;
  } else if (type != REG_SZ) {
    r.status = MachineIdStatus::kBadFormat;
  } else {
    std::wstring text(size / sizeof(wchar_t), L'\0');
    DWORD got = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, L"MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &got) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
      r.status = MachineIdStatus::kReadFailed;
    } else {
      text.resize(got / sizeof(wchar_t));
      while (!text.empty() && text.back() == L'\0') text.pop_back();  // stored with its terminator
      r.id = Utf16ToUtf8(text);
      r.status = r.id.empty() ? MachineIdStatus::kBadFormat : MachineIdStatus::kOk;
    }
  }
  RegCloseKey(key);
  return r;
}

MachineIdResult ReadMachineId() {
  std::vector<std::string> places;
  {
    nimo_sync::MutexLock lock(PlacesMutex());
    places = TestPlaces();
  }
  if (places.empty()) places = {"SOFTWARE\\Microsoft\\Cryptography"};
  return ReadMachineId(places);
}

void SetMachineIdFilesForTest(std::vector<std::string> files) {
  nimo_sync::MutexLock lock(PlacesMutex());
  TestPlaces() = std::move(files);
}

}  // namespace nimo_sys
