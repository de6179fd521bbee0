#include "Sdk/CNimoUser.h"

#include <easylogging++.h>

#include "Sdk/JsonFields.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/ResultCode.h"
#include "Sdk/ServerAnswers.h"

namespace NimoSdk {

void CNimoUser::Login(std::string puserId, std::string accessToken, GameCallback callback) {
  std::string steamId = puserId;
  api_.RequestLogin(std::move(puserId), std::move(accessToken),
                    [this, steamId, callback](HttpResp resp) { OnLoginAnswer(resp, steamId, callback); });
}

void CNimoUser::OnLoginAnswer(const HttpResp& resp, const std::string& puserId, GameCallback callback) {
  if (end_.Exited()) return;
  if (resp.code == ResultCode::kOk) {
    std::string token;
    std::string userId;
    if (!ReadLogin(resp.data, token, userId)) {
      NotifyGame(callback, ResultCode::kServerJsonError, "Server JSON Parse Error.");
      return;
    }
    if (!facts_.LogIn(token, userId)) return;  // Exit (and maybe a new session) came meanwhile
    track_.SyncUserId();
    track_.PostLoginEvent("STEAM", puserId);
  }
  NotifyGame(callback, resp);
}

}  // namespace NimoSdk
