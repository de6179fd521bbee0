#include "platform/sys/TimeZone.h"

namespace nimo_sys {

std::string UtcOffsetText(int biasMinutes) {
  long hours = -static_cast<long>(biasMinutes) / 60;  // C++ division truncates toward zero
  return std::string("UTC") + (hours >= 1 ? "+" : "") + std::to_string(hours);
}

}  // namespace nimo_sys
