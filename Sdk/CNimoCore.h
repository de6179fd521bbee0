// The SDK's central singleton: core parameters, login and user state, the Steam
// bridge and the flags the other threads watch.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "Sdk/CoreParams.h"
#include "Sdk/GameCallback.h"
#include "Sdk/HttpResp.h"
#include "Sdk/Session.h"
#include "Sdk/ThreadGroup.h"
#include "platform/steam/steam_api.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class CNimoCore {
 public:
  CNimoCore();
  CNimoCore(const CNimoCore&) = delete;
  CNimoCore& operator=(const CNimoCore&) = delete;

  // --- operations behind the exports (game's thread) ---
  void InitSdk(std::string appId, std::string appKey, GameCallback callback);
  // All nine parameters, the client id read (or made) on this thread.
  void InitGlobalParams(std::string appId, std::string appKey);
  void OnClientConfigAnswer(const HttpResp& resp, GameCallback callback);
  void OnAttributionAnswer(const HttpResp& resp);
  void LoginSteam(GameCallback callback);
  void CallPay(std::string productId, std::string extInfo, GameCallback callback);
  bool IsPayAvailable();
  void SetServerId(std::string serverId);
  void SetGameUserId(std::string gameUserId);
  void SetNickName(std::string nickName);
  void SetLevel(int level);
  void Logout();
  void Exit();

  static void InitLog(bool enabled);

  // --- Steam bridge ---
  bool InitSteam();
  void TaskSteamCallback();
  void OnAuthSessionTicketResponse(GetAuthSessionTicketResponse_t* response);
  void OnMicroTxnAuthorizationResponse(MicroTxnAuthorizationResponse_t* result);
  void TaskCheckSteamAuth(std::string steamId, int ticketHandle, std::string ticketHex, GameCallback callback);

  // --- shared state, safe from any thread ---
  CoreParams Params() const;  // snapshot of the nine core parameters
  UserFacts User() const;     // snapshot of the user facts and session
  std::string UserId() const;
  void SetSession(std::string token, std::string userId);
  // The login answer: the session and isLogin, unless this thread's session
  // has ended (Exit came meanwhile). False when refused.
  bool LogIn(std::string token, std::string userId);
  // Init reads the client id on a worker (the shared store's file lock may be
  // held by another game); Params().clientId is empty until then. Runs task at
  // once when the id is known or nobody is reading it, else on a worker once it
  // is known, Exit began, or a bound passed.
  void AfterClientId(std::function<void()> task);
  int TicketResult(int handle);                             // 0: no answer yet (entry created)
  void SetTicketResult(int handle, int result);

  // Sleeps up to d; false when Exit was called (at once, not after d).
  bool SleepUnlessExit(std::chrono::milliseconds d) const;
  // Exit was called, or the calling thread works for a session that has ended.
  bool Exited() const { return isExit.load() || session::Stale(); }

  // Test seam: the login wait polls 100 times at this period (100 ms).
  void SetTicketPollPeriod(std::chrono::milliseconds period) { ticketPollMs_ = static_cast<int>(period.count()); }
  // Test seam: the next Steam pump thread fails to be created.
  void FailNextThreadSpawn() { pump_.FailNextSpawn(); }
  // Test seam: the Steam pump period (200 ms).
  void SetPumpPeriod(std::chrono::milliseconds period) { pumpMs_ = static_cast<int>(period.count()); }

  // Before Init: the game initialises and pumps Steam itself; the SDK uses that
  // Steam, starts no pump and never shuts Steam down. False once Init was called.
  // Settable again once Exit has finished, for the next session.
  bool SetSteamOwnedByGame(bool byGame);
  bool SteamOwnedByGame() const { return steamByGame_.load(); }

  std::atomic<bool> isInit{false};
  std::atomic<bool> isLogin{false};
  std::atomic<bool> isExit{false};

 private:
  void SetParams(std::string appId, std::string appKey);  // all but the client id
  void PublishClientId(const std::string& id);
  void ReadClientId();
  void RequestConfig(GameCallback callback);  // logs the parameters, then asks
  // Init after Exit: once that Exit has stopped our threads, everything of the
  // ended session is reset and the next one begins. False while Exit still stops.
  bool StartNewSession();

  // What one session's Exit works with; a new session gets a new one, so an
  // ended session's threads and its Exit keep theirs.
  struct SessionState {
    StopSignal exitSignal;    // set once by Exit; wakes the pump and login waits at once
    StopSignal exitFinished;  // that Exit has answered every open operation
    std::atomic<bool> exitDone{false};
    std::atomic<std::thread::id> exitThread{};  // the thread of the Exit that does the work
    std::atomic<bool> stopped{false};           // Exit stopped our threads: a new Init may begin
  };
  std::shared_ptr<SessionState> State() const;

  // Guarded by mutex_.
  mutable nimo_sync::Mutex mutex_;
  CoreParams params_ GUARDED_BY(mutex_);
  UserFacts user_ GUARDED_BY(mutex_);
  std::unordered_map<int, int> ticketResults_ GUARDED_BY(mutex_);

  std::shared_ptr<SessionState> state_ GUARDED_BY(mutex_) = std::make_shared<SessionState>();
  ThreadGroup pump_;   // the Steam pump, when Steam is ours
  ThreadGroup waits_;  // login waits, the client id and the requests waiting for it
  enum class IdState { Unread, Reading, Known };
  IdState idState_ GUARDED_BY(mutex_) = IdState::Unread;
  nimo_sync::CondVar idCv_;       // with mutex_: the id became known, or Exit began
  std::atomic<int> ticketPollMs_{100};
  std::atomic<int> pumpMs_{200};
  std::atomic<bool> initCalled_{false};
  std::atomic<bool> steamByGame_{false};
  std::atomic<bool> steamStarted_{false};  // InitSteam initialised Steam itself

  // Steps of Init already done, so that a repeated Init only asks the server again.
  nimo_sync::Mutex initMutex_;
  bool steamUp_ GUARDED_BY(initMutex_) = false;
  bool servicesUp_ GUARDED_BY(initMutex_) = false;

  // Registered at construction (library load), before Steam is initialised.
  CCallback<CNimoCore, GetAuthSessionTicketResponse_t> ticketCallback_;
  CCallback<CNimoCore, MicroTxnAuthorizationResponse_t> purchaseCallback_;
};

}  // namespace NimoSdk
