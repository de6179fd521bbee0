// What a session knows of the game and the player: the nine core parameters
// every request is built from, the game's user facts and the login session.
// Safe from any thread; each read is a snapshot.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "Sdk/CoreParams.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class SessionEnd;

class SessionFacts {
 public:
  // end: a login answer is dropped once its session has ended.
  explicit SessionFacts(const SessionEnd& end) : end_(end) {}
  SessionFacts(const SessionFacts&) = delete;
  SessionFacts& operator=(const SessionFacts&) = delete;

  CoreParams Params() const;
  UserFacts User() const;
  std::string UserId() const;

  // Init: all but the client id.
  void SetParams(std::string appId, std::string appKey, std::string steamAppId);
  void SetClientId(std::string clientId);

  // The login answer: the session, unless this thread's session has ended
  // (Exit came meanwhile). False when refused.
  bool LogIn(std::string token, std::string userId);
  bool LoggedIn() const { return loggedIn_.load(); }
  void SetSession(std::string token, std::string userId);
  // Logout: the player and the game's facts of the player are forgotten.
  void Logout();
  // Exit: the same, for the session that ends; facts set from now on are the next one's.
  void ForgetPlayer();
  // A new session: no login; then also (which ends by renewing the session's
  // end) under the lock a login answer checks its session under, so that no
  // answer of the ended session slips in.
  void BeginSession(const std::function<void()>& also);

  void SetServerId(std::string serverId);
  void SetGameUserId(std::string gameUserId);
  void SetNickName(std::string nickName);
  void SetLevel(int level);

 private:
  const SessionEnd& end_;
  mutable nimo_sync::Mutex mutex_;
  CoreParams params_ GUARDED_BY(mutex_);
  UserFacts user_ GUARDED_BY(mutex_);
  std::atomic<bool> loggedIn_{false};
};

}  // namespace NimoSdk
