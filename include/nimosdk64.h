// nimosdk64: the publisher SDK a Steam game loads into its own process.
// (A plain C interface with the same calls is in nimosdk64_c.h.)
//
// Every call returns at once (only Exit blocks, for at most about a second) and
// never throws. Results arrive later through a ResultCallback:
//   code     200 on success, a negative SDK code, or the server's own code
//   message  a fixed English text, or the server's message
//   data     empty, a JSON text, or the server's whole answer
// A callback is called exactly once per operation, also when Exit comes first
// (then with -400 "Process Exit!"), and never when it is null.
//
// Threads, in the default mode: a callback runs on the calling thread (immediate
// refusals, answers from the product cache), on one of the SDK's six HTTP worker
// threads (server answers), on Init's start-up thread (Init's Steam failure) or
// on a login wait thread (Steam ticket failures);
// several may run at the same time. Operations still open at Exit are answered
// on the thread that called Exit, before it returns. Keep callbacks short, copy
// what you need and hand it to your game thread.
// In poll mode (nimo_set_callback_mode(NIMO_CALLBACKS_ON_POLL) before Init), every
// result is queued and delivered by nimo_run_callbacks() on the thread that calls it.
#pragma once

#include <string>

#include "nimosdk64_api.h"

namespace NimoProxy {

using ResultCallback = void (*)(int code, std::wstring message, std::wstring data);

// Starts the SDK: Steam, the HTTP workers, the client configuration request.
// Returns at once; the start-up runs on a thread of the SDK's.
//   200 "Sdk already init."      (calling thread) a previous Init succeeded
//   -402 "Steam Init Failure!"   (the SDK's start-up thread) Steam is not running
//   -400 "Process Exit!"         (calling thread) an Exit on another thread has not returned yet
// After Exit it starts a new session, as if the library had just been loaded
// (see nimo_init in nimosdk64_c.h).
//   server code/msg/data         (worker) the configuration answer; 200 = ready
NIMO_API void Init(std::wstring appId, std::wstring appKey, ResultCallback callback);

// Shuts the SDK down; returns once its threads have stopped (about a second at
// most, plus the time your callbacks take). Every operation still open ends with
// -400 "Process Exit!". Safe to call twice and from inside a callback. The next
// Init starts a new session.
NIMO_API void Exit();

// Logs the player in with their Steam identity.
//   -401 "Sdk Not Init."             (calling thread)
//   -403 "Steam Ticket TimeOut!"     (login wait thread) Steam did not answer in ~10 s
//   -404 "Steam Ticket Auth Failure!"(login wait thread)
//   -400 "Process Exit!"             (Exit's thread, or calling thread after Exit)
//   -501 "Server JSON Parse Error."  (worker) unreadable login answer
//   server code/msg/data             (worker) the login answer; 200 = logged in
NIMO_API void Login(ResultCallback callback);

// Forgets the session and the in-game user facts locally. No callback.
NIMO_API void Logout();

// Buys productId through a Steam micro-transaction; extInfo is the game's own text
// and comes back in the report. One callback per purchase:
//   -401 "Sdk Not Init." / -405 "Not Login." / -400 "Process Exit!" (calling thread)
//   -400 "Not Found Product."         unknown product id
//   code, "Query Product Failure, "+msg  the catalogue could not be loaded
//   server code/msg/data              order creation refused
//   -501 "Server JSON Parse Error."   unreadable order answer
//   code/msg + JSON report            (worker) the payment result; success is
//                                     code 200 with "status":1 in the report
//   report: {"amount","currency","extInfo","orderId","productId","quantity","status"}
NIMO_API void CallPay(std::wstring productId, std::wstring extInfo, ResultCallback callback);

// True once Init succeeded and the Steam overlay is available for purchases.
NIMO_API bool IsPayAvailable();

// Posts an analytics event; params is a JSON object text or empty; value NaN for none.
// Never blocks on the network; no callback.
NIMO_API void PostEvent(const std::wstring& eventName, const std::wstring& params, double value);

// The products that can be bought through Steam.
//   200 "Success" {"code":200,"msg":"Success","productList":[{"gameCurrencyAmount",
//       "productDesc","productId","productName"}...]}  (calling thread when cached)
//   server code/msg/data  (worker) the catalogue could not be loaded
//   -400 "Process Exit!"  (calling thread) Exit was called and nothing is cached
NIMO_API void QueryProducts(ResultCallback callback);

// In-game facts of the player, sent with orders, reports and events. No callback.
NIMO_API void SetGameUserId(std::wstring gameUserId);
NIMO_API void SetLevel(int level);
NIMO_API void SetNickName(std::wstring nickName);
NIMO_API void SetServerId(std::wstring serverId);

}  // namespace NimoProxy
