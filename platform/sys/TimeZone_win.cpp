#include <windows.h>

#include "platform/sys/TimeZone.h"

namespace nimo_sys {

std::optional<int> LocalBiasMinutes() {
  TIME_ZONE_INFORMATION tz{};
  if (GetTimeZoneInformation(&tz) == TIME_ZONE_ID_INVALID) return std::nullopt;
  // The zone's standard bias: summer time never changes what the SDK reports.
  return static_cast<int>(tz.Bias);
}

}  // namespace nimo_sys
