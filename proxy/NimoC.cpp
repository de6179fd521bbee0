// The C functions: the same calls as the C++ exports, with UTF-8 strings and a
// callback that carries the game's user pointer. Nothing is thrown back into the game.
#include "nimosdk64_c.h"

#include <algorithm>
#include <string>

#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoDelivery.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/HttpResp.h"
#include "Sdk/NimoOptions.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/ResultCode.h"
#include "Sdk/Singletons.h"
#include "nimo_version.h"
#include "proxy/Guard.h"

using NimoProxy::Guarded;
using NimoSdk::Core;
using NimoSdk::FailReason;
using NimoSdk::GameCallback;

// The C codes and reasons are the SDK's own numbers: a change on one side fails here.
static_assert(NimoSdk::ResultCode::kOk == NIMO_OK, "NIMO_OK");
static_assert(NimoSdk::ResultCode::kProcessExit == NIMO_PROCESS_EXIT, "NIMO_PROCESS_EXIT");
static_assert(NimoSdk::ResultCode::kProductNotFoundForC == NIMO_PRODUCT_NOT_FOUND, "NIMO_PRODUCT_NOT_FOUND");
// The C++ exports give a missing product the exit code; only here has it a code of its own.
static_assert(NimoSdk::ResultCode::kProductNotFound == NIMO_PROCESS_EXIT, "-400 through the C++ exports");
static_assert(NimoSdk::ResultCode::kNotInit == NIMO_NOT_INIT, "NIMO_NOT_INIT");
static_assert(NimoSdk::ResultCode::kSteamInitFailure == NIMO_STEAM_INIT_FAILURE, "NIMO_STEAM_INIT_FAILURE");
static_assert(NimoSdk::ResultCode::kTicketTimeout == NIMO_TICKET_TIMEOUT, "NIMO_TICKET_TIMEOUT");
static_assert(NimoSdk::ResultCode::kTicketFailure == NIMO_TICKET_FAILURE, "NIMO_TICKET_FAILURE");
static_assert(NimoSdk::ResultCode::kNotLogin == NIMO_NOT_LOGIN, "NIMO_NOT_LOGIN");
static_assert(NimoSdk::ResultCode::kServerJsonError == NIMO_SERVER_JSON_ERROR, "NIMO_SERVER_JSON_ERROR");
static_assert(NimoSdk::ResultCode::kHttpError == NIMO_HTTP_ERROR, "NIMO_HTTP_ERROR");
constexpr bool Same(FailReason r, int c) { return static_cast<int>(r) == c; }
static_assert(Same(FailReason::None, NIMO_REASON_NONE), "NIMO_REASON_NONE");
static_assert(Same(FailReason::Timeout, NIMO_REASON_TIMEOUT), "NIMO_REASON_TIMEOUT");
static_assert(Same(FailReason::Refused, NIMO_REASON_REFUSED), "NIMO_REASON_REFUSED");
static_assert(Same(FailReason::Dns, NIMO_REASON_DNS), "NIMO_REASON_DNS");
static_assert(Same(FailReason::TlsVerify, NIMO_REASON_TLS_VERIFY), "NIMO_REASON_TLS_VERIFY");
static_assert(Same(FailReason::Tls, NIMO_REASON_TLS), "NIMO_REASON_TLS");
static_assert(Same(FailReason::Dropped, NIMO_REASON_DROPPED), "NIMO_REASON_DROPPED");
static_assert(Same(FailReason::TooLarge, NIMO_REASON_TOO_LARGE), "NIMO_REASON_TOO_LARGE");
static_assert(Same(FailReason::HttpStatus, NIMO_REASON_HTTP_STATUS), "NIMO_REASON_HTTP_STATUS");
static_assert(Same(FailReason::Aborted, NIMO_REASON_ABORTED), "NIMO_REASON_ABORTED");
static_assert(Same(FailReason::Protocol, NIMO_REASON_PROTOCOL), "NIMO_REASON_PROTOCOL");
static_assert(Same(FailReason::Other, NIMO_REASON_OTHER), "NIMO_REASON_OTHER");

namespace {

// Null reads as empty; invalid UTF-8 becomes U+FFFD, as wide text from the C++ exports does.
std::string Text(const char* text) { return text == nullptr ? std::string() : NimoSdk::NimoUtils::CleanUtf8(text); }

}  // namespace

extern "C" {

const char* nimo_version(void) { return NIMO_VERSION_STRING; }

int nimo_failure_reason(const char* data) {
  return Guarded(NIMO_REASON_NONE, [&] {
    return static_cast<int>(NimoSdk::ReasonOfData(data == nullptr ? std::string() : std::string(data)));
  });
}

int nimo_set_callback_mode(int mode) {
  if (mode != NIMO_CALLBACKS_ON_SDK_THREADS && mode != NIMO_CALLBACKS_ON_POLL) return NIMO_SET_INVALID;
  return Guarded(NIMO_SET_TOO_LATE, [&] {
    return NimoSdk::Delivery().SetMode(static_cast<NimoSdk::CallbackMode>(mode)) ? NIMO_SET_OK : NIMO_SET_TOO_LATE;
  });
}

int nimo_set_steam_owner(int owner) {
  if (owner != NIMO_STEAM_OWNED_BY_SDK && owner != NIMO_STEAM_OWNED_BY_GAME) return NIMO_SET_INVALID;
  return Guarded(NIMO_SET_TOO_LATE, [&] {
    return Core().SetSteamOwnedByGame(owner == NIMO_STEAM_OWNED_BY_GAME) ? NIMO_SET_OK : NIMO_SET_TOO_LATE;
  });
}

int nimo_set_purchase_listener(nimo_purchase_listener listener, void* user) {
  return Guarded(NIMO_SET_TOO_LATE, [&] {
    return NimoSdk::Pay().SetPurchaseListener(listener, user) ? NIMO_SET_OK : NIMO_SET_TOO_LATE;
  });
}

void nimo_finish_purchase(const char* order_id) {
  Guarded([&] { NimoSdk::Pay().FinishPurchase(Text(order_id)); });
}

int nimo_run_callbacks(void) {
  return Guarded(0, [&] { return NimoSdk::Delivery().RunCallbacks(); });
}

void nimo_init(const char* app_id, const char* app_key, nimo_callback callback, void* user) {
  Guarded([&] { Core().InitSdk(Text(app_id), Text(app_key), GameCallback(callback, user)); });
}

void nimo_exit(void) {
  Guarded([&] { Core().Exit(); });
}

void nimo_login(nimo_callback callback, void* user) {
  Guarded([&] { Core().LoginSteam(GameCallback(callback, user)); });
}

void nimo_logout(void) {
  Guarded([&] { Core().Logout(); });
}

void nimo_call_pay(const char* product_id, const char* ext_info, nimo_callback callback, void* user) {
  Guarded([&] { Core().CallPay(Text(product_id), Text(ext_info), GameCallback(callback, user)); });
}

int nimo_is_pay_available(void) {
  return Guarded(0, [&] { return Core().IsPayAvailable() ? 1 : 0; });
}

void nimo_post_event(const char* event_name, const char* params, double value) {
  Guarded([&] { NimoSdk::Track().PostEvent(Text(event_name), Text(params), value); });
}

void nimo_query_products(nimo_callback callback, void* user) {
  Guarded([&] { NimoSdk::Pay().QueryProducts(GameCallback(callback, user)); });
}

void nimo_set_game_user_id(const char* game_user_id) {
  Guarded([&] { Core().SetGameUserId(Text(game_user_id)); });
}

void nimo_set_level(int level) {
  Guarded([&] { Core().SetLevel(level); });
}

void nimo_set_nick_name(const char* nick_name) {
  Guarded([&] { Core().SetNickName(Text(nick_name)); });
}

void nimo_set_server_id(const char* server_id) {
  Guarded([&] { Core().SetServerId(Text(server_id)); });
}

// ---- settings of the transport (nimo_set_option, nimo_get_option) ----

int nimo_set_option(const char* name, const char* value) {
  return Guarded(NIMO_SET_INVALID, [&] {
    switch (NimoSdk::Options().Set(Text(name), Text(value))) {
      case NimoSdk::SetOptionResult::Ok:
        return NIMO_SET_OK;
      case NimoSdk::SetOptionResult::TooLate:
        return NIMO_SET_TOO_LATE;
      case NimoSdk::SetOptionResult::Invalid:
        break;
    }
    return NIMO_SET_INVALID;
  });
}

int nimo_get_option(const char* name, char* buffer, int size) {
  return Guarded(-1, [&] {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    std::string value;
    if (!NimoSdk::Options().Get(Text(name), &value)) return -1;
    if (buffer != nullptr && size > 0) {
      std::size_t n = std::min(value.size(), static_cast<std::size_t>(size) - 1);
      // A cut text ends on a whole UTF-8 character.
      if (n < value.size()) {
        while (n > 0 && (static_cast<unsigned char>(value[n]) & 0xC0) == 0x80) --n;
      }
      value.copy(buffer, n);
      buffer[n] = '\0';
    }
    return static_cast<int>(std::min<std::size_t>(value.size(), 0x7fffffff));
  });
}

}  // extern "C"
