#include "platform/sys/TimeZone.h"

#include <ctime>

namespace nimo_sys {

std::optional<int> LocalBiasMinutes() {
  std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) return std::nullopt;
  tzset();  // follow a TZ changed since the last look, as localtime() would
  struct tm local {};
  if (localtime_r(&now, &local) == nullptr) return std::nullopt;
  return static_cast<int>(-(local.tm_gmtoff / 60));
}

}  // namespace nimo_sys
