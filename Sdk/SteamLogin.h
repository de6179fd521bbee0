// Login through Steam: an auth ticket from Steam, then a worker that waits for
// Steam's answer on it before the login request goes to the server.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <unordered_map>

#include "Sdk/GameCallback.h"
#include "Sdk/ThreadGroup.h"
#include "platform/sync/Mutex.h"

namespace NimoSdk {

class CNimoUser;
class SessionEnd;

class SteamLogin {
 public:
  // end: whether Exit began; waits: the threads Exit joins; isInit: the core's;
  // user: the login request once Steam has accepted the ticket.
  SteamLogin(const SessionEnd& end, ThreadGroup& waits, const std::atomic<bool>& isInit, CNimoUser& user);
  SteamLogin(const SteamLogin&) = delete;
  SteamLogin& operator=(const SteamLogin&) = delete;

  // Game's thread: asks Steam for a ticket and starts the wait for its answer.
  void LoginSteam(GameCallback callback);
  void TaskCheckSteamAuth(std::string steamId, int ticketHandle, std::string ticketHex, GameCallback callback);

  // Steam's answers on tickets, by handle; safe from any thread.
  int TicketResult(int handle);  // 0: no answer yet (entry created)
  void SetTicketResult(int handle, int result);
  // A new session: the tickets of the ended one are forgotten.
  void ForgetTickets();

  // Test seam: the login wait polls 100 times at this period (100 ms).
  void SetTicketPollPeriod(std::chrono::milliseconds period) { ticketPollMs_ = static_cast<int>(period.count()); }

 private:
  const SessionEnd& end_;
  ThreadGroup& waits_;
  const std::atomic<bool>& isInit_;
  CNimoUser& user_;

  nimo_sync::Mutex mutex_;
  std::unordered_map<int, int> ticketResults_ GUARDED_BY(mutex_);
  std::atomic<int> ticketPollMs_{100};
};

}  // namespace NimoSdk
