#include <windows.h>

#include "platform/sys/OsInfo.h"

namespace nimo_sys {
namespace {

// RtlGetVersion tells the truth where GetVersionEx answers what the manifest allows.
using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);

}  // namespace

std::string OsVersionName() {
  HMODULE ntdll = GetModuleHandleA("ntdll");
  if (ntdll == nullptr) return {};
  auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (rtlGetVersion == nullptr) return {};
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;  // 284
  if (rtlGetVersion(&info) != 0) return {};
  return WindowsVersionName(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
}

}  // namespace nimo_sys
