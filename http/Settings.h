// Time limits of the transport. The SDK sets them at each Init from the settings
// in force; until something sets them they come from the environment:
//   NIMOSDK_CONNECT_TIMEOUT_MS  TCP connect                    (default 10000)
//   NIMOSDK_IO_TIMEOUT_MS       a read or write without progress (default 30000)
//   NIMOSDK_REQUEST_TIMEOUT_MS  one whole request, end to end   (default 120000)
// A missing, non-numeric or non-positive value keeps the default.
#pragma once

#include <string>

namespace sion {

struct Timeouts {
  int connectMs = 10000;
  int ioMs = 30000;
  int requestMs = 120000;
};

// A day is far beyond any sensible limit and keeps the arithmetic in range.
constexpr long kMaxTimeoutMs = 86400000L;

// The limits for a request starting now.
Timeouts GetTimeouts();
// Requests started from now on use these.
void SetTimeouts(const Timeouts& timeouts);

// A whole decimal number of milliseconds in 1..kMaxTimeoutMs; false otherwise.
bool ParseTimeoutMs(const std::string& text, int* ms);

}  // namespace sion
