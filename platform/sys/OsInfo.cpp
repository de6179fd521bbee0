#include "platform/sys/OsInfo.h"

namespace nimo_sys {

std::string WindowsVersionName(unsigned long major, unsigned long minor, unsigned long build) {
  if (major >= 10 && build > 22000) return "Windows 11";
  if (major == 10 && minor == 0) return "Windows 10";
  if (major == 6 && minor == 3) return "Windows 8.1";
  if (major == 6 && minor == 2) return "Windows 8";
  if (major == 6 && minor == 1) return "Windows 7";
  return {};
}

}  // namespace nimo_sys
