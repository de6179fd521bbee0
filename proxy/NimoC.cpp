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
#include "Sdk/Singletons.h"
#include "nimo_version.h"
#include "proxy/Guard.h"

using NimoProxy::Guarded;
using NimoSdk::Core;
using NimoSdk::FailReason;
using NimoSdk::GameCallback;

// The C reasons are the SDK's own numbers.
constexpr bool Same(FailReason r, int c) { return static_cast<int>(r) == c; }
static_assert(Same(FailReason::None, NIMO_REASON_NONE) && Same(FailReason::Timeout, NIMO_REASON_TIMEOUT) &&
                  Same(FailReason::Refused, NIMO_REASON_REFUSED) && Same(FailReason::Dns, NIMO_REASON_DNS) &&
                  Same(FailReason::TlsVerify, NIMO_REASON_TLS_VERIFY) && Same(FailReason::Tls, NIMO_REASON_TLS) &&
                  Same(FailReason::Dropped, NIMO_REASON_DROPPED) && Same(FailReason::TooLarge, NIMO_REASON_TOO_LARGE) &&
                  Same(FailReason::HttpStatus, NIMO_REASON_HTTP_STATUS) &&
                  Same(FailReason::Aborted, NIMO_REASON_ABORTED) && Same(FailReason::Protocol, NIMO_REASON_PROTOCOL) &&
                  Same(FailReason::Other, NIMO_REASON_OTHER),
              "the C reasons are the SDK's");

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
