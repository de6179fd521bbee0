// Misbehaviour on demand, per endpoint, so a game can rehearse bad networks.
//   hang       accept the request and never answer (until the client leaves or the sandbox stops)
//   http502    HTTP 502 with an HTML page
//   truncated  HTTP 200 whose JSON body is cut in half (framed correctly)
//   code       HTTP 200 with {"code":N,"msg":M}
//   status     HTTP status N (200 to 599) with {"code":N,"msg":M}
//   close      start the real answer, then drop the connection half way
//   lost       process the request, then drop the connection before any answer byte
// Any of them may come after a delay; a delay alone answers normally. A fault
// with a match applies only to requests whose body holds that text (one event of
// many). hang, http502, code and status leave the request unprocessed; truncated, close and lost spoil the answer
// of a request that was processed (the server acted, the client never heard).
#pragma once

#include <array>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/sandbox/SignedForm.h"

namespace nimo_sandbox {

enum class FaultMode { None, Hang, Http502, Truncated, Code, Close, Lost, Status };

struct Fault {
  FaultMode mode = FaultMode::None;
  int delayMs = 0;
  int code = 500;          // for code, and the HTTP status for status
  std::string msg = "Sandbox fault";
  int times = -1;          // how many requests it still applies to; -1 every one
  std::string match{};     // empty: every request

  bool Active() const { return times != 0 && (mode != FaultMode::None || delayMs > 0); }
};

const char* FaultModeName(FaultMode m);
// "ENDPOINT=MODE[:ARGS][,delay=MS][,times=N][,match=TEXT]" with ENDPOINT a name of
// SignedForm.h or "all", MODE one of none, delay:MS, hang, http502, truncated,
// code:N[:MSG], status:N[:MSG], close, lost.
bool ParseFaultFlag(const std::string& text, std::string* endpoint, Fault* out, std::string* error);
// {"mode":"code","code":1001,"msg":"...","delayMs":0,"times":2,"match":"..."}
bool FaultFromJson(const nlohmann::json& j, Fault* out, std::string* error);
nlohmann::json FaultToJson(const Fault& f);

// Thread-safe table of the current faults.
class FaultTable {
 public:
  void Set(Endpoint e, Fault f);
  void Clear(Endpoint e);
  void ClearAll();
  // The fault for this request with this body (counting it off), or an inactive one.
  Fault Take(Endpoint e, const std::string& body);
  nlohmann::json ToJson() const;

 private:
  mutable std::mutex mutex_;
  std::array<Fault, kEndpointCount> faults_;  // guarded by mutex_
};

}  // namespace nimo_sandbox
