#include "platform/sys/TimeZone.h"

#include <ctime>

namespace nimo_sys {

std::optional<int> LocalBiasMinutes() {
  std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) return std::nullopt;
  tzset();  // follow a TZ changed since the last look, as localtime() would
  // The standard offset, as Windows' Bias: the least offset the zone has over the
  // coming year, so summer time (and a zone whose rules call winter its daylight
  // time) never moves it.
  constexpr std::time_t kMonth = 30L * 24 * 3600 + 10 * 3600;
  std::optional<long> least;
  for (int month = 0; month < 12; ++month) {
    const std::time_t at = now + month * kMonth;
    struct tm local {};
    if (localtime_r(&at, &local) == nullptr) continue;
    if (!least || local.tm_gmtoff < *least) least = local.tm_gmtoff;
  }
  if (!least) return std::nullopt;
  return static_cast<int>(-(*least / 60));
}

}  // namespace nimo_sys
