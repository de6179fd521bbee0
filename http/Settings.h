// Time limits of the transport, read once from the environment at first use:
//   NIMOSDK_CONNECT_TIMEOUT_MS  TCP connect                    (default 10000)
//   NIMOSDK_IO_TIMEOUT_MS       a read or write without progress (default 30000)
//   NIMOSDK_REQUEST_TIMEOUT_MS  one whole request, end to end   (default 120000)
// A missing, non-numeric or non-positive value keeps the default.
#pragma once

namespace sion {

struct Timeouts {
  int connectMs = 10000;
  int ioMs = 30000;
  int requestMs = 120000;
};

const Timeouts& GetTimeouts();

}  // namespace sion
