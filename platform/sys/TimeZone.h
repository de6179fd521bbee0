// The local time zone as the SDK reports it.
#pragma once

#include <optional>
#include <string>

namespace nimo_sys {

// Minutes to add to local time to get UTC (so UTC+8 is -480), from the local
// time's current offset (daylight saving included). Empty when the local time
// cannot be had.
std::optional<int> LocalBiasMinutes();

// "UTC" + whole hours of the offset, truncated toward zero, with "+" for east of
// UTC: bias -480 -> "UTC+8", 300 -> "UTC-5", 0 -> "UTC0", -330 (UTC+5:30) -> "UTC+5".
std::string UtcOffsetText(int biasMinutes);

}  // namespace nimo_sys
