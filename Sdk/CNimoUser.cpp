#include "Sdk/CNimoUser.h"

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoCore.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/JsonFields.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/ResultCode.h"
#include "Sdk/ServerAnswers.h"
#include "Sdk/Singletons.h"

namespace NimoSdk {

void CNimoUser::Login(std::string puserId, std::string accessToken, GameCallback callback) {
  std::string steamId = puserId;
  Api().RequestLogin(std::move(puserId), std::move(accessToken),
                     [steamId, callback](HttpResp resp) { OnLoginAnswer(resp, steamId, callback); });
}

void CNimoUser::OnLoginAnswer(const HttpResp& resp, const std::string& puserId, GameCallback callback) {
  if (Core().Exited()) return;
  if (resp.code == ResultCode::kOk) {
    std::string token;
    std::string userId;
    if (!ReadLogin(NimoUtils::WideToUtf8(resp.data), token, userId)) {
      NotifyGame(callback, ResultCode::kServerJsonError, "Server JSON Parse Error.");
      return;
    }
    if (!Core().LogIn(token, userId)) return;  // Exit (and maybe a new session) came meanwhile
    Track().SyncUserId();
    Track().PostLoginEvent("STEAM", puserId);
  }
  NotifyGame(callback, resp);
}

}  // namespace NimoSdk
