#pragma once

#include <string>

namespace NimoSdk {

// The nine core parameters every server request is built from, in wire order.
struct CoreParams {
  std::string appId;
  std::string appKey;
  std::string os;
  std::string sdkVer;
  std::string sdkType;
  std::string clientId;
  std::string runPlatform;
  std::string gamePlatform;
  std::string steamAppId;
};

// The game-side facts of the player and the login session.
struct UserFacts {
  std::string serverId;
  std::string gameUserId;
  std::string nickName;
  int level = 0;
  std::string token;
  std::string userId = "-1";
};

}  // namespace NimoSdk
