#pragma once

#include <functional>
#include <string>

namespace NimoSdk {

// Every server answer reaches the SDK as one of these, on an HTTP worker thread.
//   code  the body's JSON "code" on HTTP 200; -501 when such a body is unusable;
//         -502 when the status is not 200 or no answer came
//   msg   the body's "msg" (or "message"), or the failure text
//   data  the whole body on success, empty otherwise
//   status  the HTTP status; 0 when no answer came. For callers that must tell
//         a refusal from a failure worth retrying; the game never sees it.
struct HttpResp {
  int code = 0;
  std::wstring msg;
  std::wstring data;
  int status = 0;
};

using HttpHandler = std::function<void(HttpResp)>;

}  // namespace NimoSdk
