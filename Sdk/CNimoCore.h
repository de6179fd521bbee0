// The operations behind the exports, and the start and end of a session, which
// start and stop the objects it is given (the tracker, payments, the HTTP pool,
// the client-id gate) and its own (the Steam bridge, the login wait).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "Sdk/ClientIdGate.h"
#include "Sdk/CoreParams.h"
#include "Sdk/GameCallback.h"
#include "Sdk/HttpResp.h"
#include "Sdk/SessionEnd.h"
#include "Sdk/SessionFacts.h"
#include "Sdk/SteamBridge.h"
#include "Sdk/SteamLogin.h"
#include "Sdk/ThreadGroup.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class CNimoApi;
class CNimoDelivery;
class CNimoOptions;
class CNimoPay;
class CNimoTrack;
class CNimoUser;

// What the core starts, stops and asks; built before it, in one place.
struct CoreWiring {
  SessionEnd& end;
  SessionFacts& facts;
  ThreadGroup& waits;  // login waits, the client id and the requests waiting for it
  ClientIdGate& idGate;
  CNimoApi& api;
  CNimoTrack& track;
  CNimoPay& pay;
  CNimoUser& user;
  CNimoOptions& options;
  CNimoDelivery& delivery;
};

class CNimoCore {
 public:
  explicit CNimoCore(const CoreWiring& parts);
  CNimoCore(const CNimoCore&) = delete;
  CNimoCore& operator=(const CNimoCore&) = delete;

  // --- operations behind the exports (game's thread) ---
  void InitSdk(std::string appId, std::string appKey, GameCallback callback);
  // All nine parameters, the client id read (or made) on this thread.
  void InitGlobalParams(std::string appId, std::string appKey);
  void OnClientConfigAnswer(const HttpResp& resp, GameCallback callback);
  void OnAttributionAnswer(const HttpResp& resp);
  void LoginSteam(GameCallback callback) { login_.LoginSteam(std::move(callback)); }
  void CallPay(std::string productId, std::string extInfo, GameCallback callback);
  bool IsPayAvailable();
  void SetServerId(std::string serverId);
  void SetGameUserId(std::string gameUserId);
  void SetNickName(std::string nickName);
  void SetLevel(int level);
  void Logout();
  void Exit();

  static void InitLog(bool enabled);

  // Init's first step (see SteamBridge).
  bool InitSteam() { return steam_.InitSteam(); }

  // --- state, safe from any thread ---
  CoreParams Params() const;  // snapshot of the nine core parameters
  UserFacts User() const;     // snapshot of the user facts and session
  std::string UserId() const;
  bool IsInit() const { return isInit_.load(); }  // Init was answered 200 in this session
  bool IsLoggedIn() const;
  bool IsExiting() const;  // Exit began in this session
  int TicketResult(int handle) { return login_.TicketResult(handle); }  // 0: no answer yet (entry created)
  void SetTicketResult(int handle, int result) { login_.SetTicketResult(handle, result); }

  // Test seam: the login wait polls 100 times at this period (100 ms).
  void SetTicketPollPeriod(std::chrono::milliseconds period) { login_.SetTicketPollPeriod(period); }
  // Test seam: the next Steam pump thread fails to be created.
  void FailNextThreadSpawn() { steam_.FailNextThreadSpawn(); }
  // Test seam: the Steam pump period (200 ms).
  void SetPumpPeriod(std::chrono::milliseconds period) { steam_.SetPumpPeriod(period); }
  // Test seam: a start-up thread still runs (an Exit may have left it).
  bool StartUpRunning();
  // Test seam: as if Init had been answered (and, with loggedIn, a login).
  void AssumeReady(bool loggedIn);

  // Before Init: the game initialises and pumps Steam itself (see SteamBridge).
  bool SetSteamOwnedByGame(bool byGame) { return steam_.SetSteamOwnedByGame(byGame); }
  bool SteamOwnedByGame() const { return steam_.SteamOwnedByGame(); }

 private:
  void SetParams(std::string appId, std::string appKey);  // all but the client id
  void PublishClientId(const std::string& id);
  void ReadClientId();
  void RequestConfig(GameCallback callback);  // logs the parameters, then asks
  // What an Init leaves to our start-up thread.
  struct InitRequest {
    std::string appId;
    std::string appKey;
    GameCallback callback;
    bool readsId = false;  // holds the client-id gate's reading mark
    std::uint64_t session = 0;  // the session it was made in
  };
  // Queues the request for the one start-up thread (started if none runs).
  void HandOffStart(InitRequest request);
  void RunStarts();  // the start-up thread: the requests in order
  // Log, Steam, HTTP pool, tracker and the start-up event, then the answer or
  // the configuration request. True when the request's reading mark is left over.
  bool Start(InitRequest request);
  // Exit: waits for the start-ups handed off, up to startsBy for one inside
  // Steam's initialisation, else up to end; later ones do nothing.
  void CloseStarts(std::chrono::steady_clock::time_point startsBy, std::chrono::steady_clock::time_point end);
  // Init after Exit: once that Exit has stopped our threads, everything of the
  // ended session is reset and the next one begins. False while Exit still stops.
  bool StartNewSession();

  bool Exited() const;

  SessionEnd& end_;
  SessionFacts& facts_;
  ThreadGroup& waits_;
  ClientIdGate& idGate_;
  CNimoApi& api_;
  CNimoTrack& track_;
  CNimoPay& pay_;
  CNimoOptions& options_;
  CNimoDelivery& delivery_;

  std::atomic<bool> isInit_{false};
  SteamLogin login_;
  // Registers our Steam callbacks at construction (library load), before Steam is initialised.
  SteamBridge steam_;

  // Steps of Init already done, so that a repeated Init only asks the server again.
  nimo_sync::Mutex initMutex_;
  bool steamUp_ GUARDED_BY(initMutex_) = false;
  bool servicesUp_ GUARDED_BY(initMutex_) = false;

  // Start-ups handed off by Init, run in order on one thread of waits_; taken
  // before idGate_'s lock, never while initMutex_ is held.
  nimo_sync::Mutex startMutex_;
  nimo_sync::CondVar startsEnded_;  // with startMutex_: the start-up thread ended
  std::deque<InitRequest> starts_ GUARDED_BY(startMutex_);
  bool starting_ GUARDED_BY(startMutex_) = false;       // the start-up thread runs
  bool startsClosed_ GUARDED_BY(startMutex_) = false;  // Exit: the rest are not started
  std::atomic<std::thread::id> startThread_{};         // an Exit from its callback does not wait for it
  // Steam's initialisation may not come back for long (a client updating): Exit
  // does not wait for it past its share, and that start-up undoes itself. Set
  // to kLeftByExit by Exit only; back to kNotInSteam when that start-up thread ends.
  enum SteamStep : int { kNotInSteam, kInSteam, kLeftByExit };
  std::atomic<int> steamStep_{kNotInSteam};
  // Exit went past the start-ups (and answered their Inits): one that comes to
  // its steps later starts nothing. Until the next session.
  bool exitPassed_ GUARDED_BY(initMutex_) = false;
  // Exit: waits for the start-up step under way (up to deadline while it is in
  // Steam's initialisation) and passes the start-ups; false when it left one in Steam's.
  bool PassStarts(std::chrono::steady_clock::time_point deadline);
};

}  // namespace NimoSdk
