#include "Sdk/SessionFacts.h"

#include <utility>

#include "Sdk/SessionEnd.h"
#include "nimo_version.h"

namespace NimoSdk {

CoreParams SessionFacts::Params() const {
  nimo_sync::MutexLock lock(mutex_);
  return params_;
}

UserFacts SessionFacts::User() const {
  nimo_sync::MutexLock lock(mutex_);
  return user_;
}

std::string SessionFacts::UserId() const {
  nimo_sync::MutexLock lock(mutex_);
  return user_.userId;
}

void SessionFacts::SetParams(std::string appId, std::string appKey, std::string steamAppId) {
  nimo_sync::MutexLock lock(mutex_);
  params_.appId = std::move(appId);
  params_.appKey = std::move(appKey);
  params_.os = "Windows";
  params_.sdkVer = "SteamEXE_" NIMO_VERSION_STRING;
  params_.sdkType = "html5";
  params_.runPlatform = "html5";
  params_.gamePlatform = "steam";
  params_.steamAppId = std::move(steamAppId);
}

void SessionFacts::SetClientId(std::string clientId) {
  nimo_sync::MutexLock lock(mutex_);
  params_.clientId = std::move(clientId);
}

bool SessionFacts::LogIn(std::string token, std::string userId) {
  // Checked under the lock a new session resets the login under.
  nimo_sync::MutexLock lock(mutex_);
  if (end_.Exited()) return false;
  user_.token = std::move(token);
  user_.userId = std::move(userId);
  loggedIn_ = true;
  return true;
}

void SessionFacts::SetSession(std::string token, std::string userId) {
  nimo_sync::MutexLock lock(mutex_);
  user_.token = std::move(token);
  user_.userId = std::move(userId);
}

void SessionFacts::Logout() {
  {
    nimo_sync::MutexLock lock(mutex_);
    user_.userId = "-1";
    user_.token.clear();
    user_.gameUserId.clear();
    user_.nickName.clear();
    user_.serverId.clear();
    user_.level = 0;
  }
  loggedIn_ = false;
}

void SessionFacts::ForgetPlayer() {
  {
    nimo_sync::MutexLock lock(mutex_);
    user_ = UserFacts{};
  }
  loggedIn_ = false;
}

void SessionFacts::BeginSession(const std::function<void()>& also) {
  loggedIn_ = false;
  nimo_sync::MutexLock lock(mutex_);
  user_.token.clear();
  user_.userId = "-1";
  also();
}

void SessionFacts::SetServerId(std::string serverId) {
  nimo_sync::MutexLock lock(mutex_);
  user_.serverId = std::move(serverId);
}

void SessionFacts::SetGameUserId(std::string gameUserId) {
  nimo_sync::MutexLock lock(mutex_);
  user_.gameUserId = std::move(gameUserId);
}

void SessionFacts::SetNickName(std::string nickName) {
  nimo_sync::MutexLock lock(mutex_);
  user_.nickName = std::move(nickName);
}

void SessionFacts::SetLevel(int level) {
  nimo_sync::MutexLock lock(mutex_);
  user_.level = level;
}

}  // namespace NimoSdk
