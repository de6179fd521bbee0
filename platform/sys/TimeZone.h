// The local time zone as the SDK reports it.
#pragma once

#include <optional>
#include <string>

namespace nimo_sys {

// Minutes to add to local standard time to get UTC (so UTC+8 is -480), as
// Windows' time-zone Bias: daylight saving is never added, so both systems give
// the same value for the same zone. Empty when the local time cannot be had.
std::optional<int> LocalBiasMinutes();

// "UTC" + whole hours of the offset, truncated toward zero, with "+" for east of
// UTC: bias -480 -> "UTC+8", 300 -> "UTC-5", 0 -> "UTC0", -330 (UTC+5:30) -> "UTC+5".
std::string UtcOffsetText(int biasMinutes);

}  // namespace nimo_sys
