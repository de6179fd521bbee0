// Calling the game back. Each operation the game starts with a callback is owed
// exactly one result; GameCallback is that debt, shared by every copy of it.
// Results go through CNimoDelivery, which calls the game directly or queues the
// result for nimo_run_callbacks(), never while one of our locks is held. A null
// callback is never called; nothing the game throws comes back into the SDK.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "Sdk/CallbackTypes.h"

namespace NimoSdk {

struct OpenOperation;
struct HttpResp;

// "Not Found Product.": -400 for the C++ exports, NIMO_PRODUCT_NOT_FOUND in C.
ForC ProductNotFoundForC();
// For a transport failure (-502): the same code, and data
// {"detail":"...","reason":"..."} (with "status" for http_status). With
// report, the reason and detail join that JSON object instead. Unset otherwise.
ForC TransportForC(const HttpResp& resp, const std::string& report = std::string());

class GameCallback {
 public:
  GameCallback() = default;
  GameCallback(std::nullptr_t) {}        // NOLINT: "no callback", as the game may pass
  GameCallback(ResultCallback callback);  // NOLINT: the C++ exports hand theirs over as is
  GameCallback(CResultCallback callback, void* user);

  explicit operator bool() const { return op_ != nullptr; }
  const std::shared_ptr<OpenOperation>& Operation() const { return op_; }

 private:
  std::shared_ptr<OpenOperation> op_;  // null: nobody to tell
};

// The operation's one result; false (and nothing called) when the operation
// already had its result or belongs to Exit.
// message and data are UTF-8.
bool NotifyGame(const GameCallback& callback, int code, const std::string& message, const std::string& data = "",
                const ForC& forC = ForC());
// A server answer passed through: its code, msg and data, its reason for C.
bool NotifyGame(const GameCallback& callback, const HttpResp& resp);
// As above with prefix before msg.
bool NotifyGame(const GameCallback& callback, const std::string& prefix, const HttpResp& resp);
// A result the SDK cannot take back (a payment the server confirmed): when Exit
// took the operation meanwhile, Exit gives this result in place of -400.
// settled runs once the result is the game's, before the game is called. False
// (settled not run) when the operation already had its result or there is no callback.
bool NotifyGameSettled(const GameCallback& callback, int code, const std::string& message, const std::string& data,
                       const std::function<void()>& settled, const ForC& forC = ForC());

}  // namespace NimoSdk
