#pragma once

#include <functional>
#include <string>

namespace NimoSdk {

// Why a -502 came. The numbers are those the C interface names (NIMO_REASON_*).
enum class FailReason : int {
  None = 0,        // not a transport failure
  Timeout = 1,
  Refused = 2,
  Dns = 3,
  TlsVerify = 4,
  Tls = 5,
  Dropped = 6,
  TooLarge = 7,
  HttpStatus = 8,  // an answer came, with a status other than 200
  Aborted = 9,
  Protocol = 10,   // what came back was not HTTP/1.1 we can read
  Other = 11,
};

// The word a game switches on: "timeout", "tls_verify", ...; "" for None.
const char* ReasonName(FailReason reason);
// The reason named by the "reason" member of a callback's JSON data; None when
// there is none (data is the game's to pass, so bounded and never trusted).
FailReason ReasonOfData(const std::string& data);

// Every server answer reaches the SDK as one of these, on an HTTP worker thread.
//   code  the body's JSON "code" on HTTP 200; -501 when such a body is unusable;
//         -502 when the status is not 200 or no answer came
//   msg   the body's "msg" (or "message"), or the failure text
//   data  the whole body on success, empty otherwise
//   (both UTF-8, valid: bad sequences are U+FFFD, and each ends at a NUL)
//   status  the HTTP status; 0 when no answer came. For callers that must tell
//         a refusal from a failure worth retrying; the game never sees it.
//   reason, detail  for -502: why, and one English line on it. Only the C
//         interface shows them; the C++ exports keep msg and data as they are.
struct HttpResp {
  int code = 0;
  std::string msg;
  std::string data;
  int status = 0;
  FailReason reason = FailReason::None;
  std::string detail;
};

using HttpHandler = std::function<void(HttpResp)>;

}  // namespace NimoSdk
