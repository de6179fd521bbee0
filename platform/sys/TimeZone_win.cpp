#include <windows.h>

#include "platform/sys/TimeZone.h"

namespace nimo_sys {

std::optional<int> LocalBiasMinutes() {
  TIME_ZONE_INFORMATION tz{};
  DWORD which = GetTimeZoneInformation(&tz);
  if (which == TIME_ZONE_ID_INVALID) return std::nullopt;
  // The current offset, daylight saving included, as on Linux.
  long bias = tz.Bias;
  if (which == TIME_ZONE_ID_DAYLIGHT) bias += tz.DaylightBias;
  if (which == TIME_ZONE_ID_STANDARD) bias += tz.StandardBias;
  return static_cast<int>(bias);
}

}  // namespace nimo_sys
