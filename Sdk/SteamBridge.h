// The Steam the SDK talks to: initialised and pumped by us, or the game's own;
// and the answers Steam calls us back with.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "Sdk/ThreadGroup.h"
#include "platform/steam/steam_api.h"

namespace NimoSdk {

class SessionEnd;
class SteamLogin;

class SteamBridge {
 public:
  // Registers our Steam callbacks: at library load, before Steam is initialised.
  // Where Steam's answer on a purchase goes: (status "1"/"0", Steam order id).
  using PurchaseAnswer = std::function<void(std::string status, std::string steamOrderId)>;
  // end: whether Exit began; login: where ticket answers go.
  SteamBridge(const SessionEnd& end, SteamLogin& login, PurchaseAnswer onPurchase);
  SteamBridge(const SteamBridge&) = delete;
  SteamBridge& operator=(const SteamBridge&) = delete;

  // Before Init: the game initialises and pumps Steam itself; the SDK uses that
  // Steam, starts no pump and never shuts Steam down. False once Init was called.
  // Settable again once Exit has finished, for the next session.
  bool SetSteamOwnedByGame(bool byGame);
  bool SteamOwnedByGame() const { return steamByGame_.load(); }
  // Init was called / Exit has finished: the owner can no longer / can again be set.
  void Freeze() { initCalled_ = true; }
  void Thaw() { initCalled_ = false; }

  // Init's first step: Steam up, with our pump when Steam is ours. False on
  // failure. wanted, when given, is asked once Steam we initialised answers,
  // before the pump starts: false shuts that Steam down again.
  bool InitSteam(const std::function<bool()>& wanted = {});
  void TaskSteamCallback();
  // Exit: the pump stopped (bounded), then the Steam we started shut down.
  void Shutdown(std::chrono::steady_clock::time_point deadline);
  // A new session may initialise Steam again.
  void BeginSession() { steamStarted_ = false; }

  void OnAuthSessionTicketResponse(GetAuthSessionTicketResponse_t* response);
  void OnMicroTxnAuthorizationResponse(MicroTxnAuthorizationResponse_t* result);

  // Test seam: the next Steam pump thread fails to be created.
  void FailNextThreadSpawn() { pump_.FailNextSpawn(); }
  // Test seam: the Steam pump period (200 ms).
  void SetPumpPeriod(std::chrono::milliseconds period) { pumpMs_ = static_cast<int>(period.count()); }

 private:
  const SessionEnd& end_;
  SteamLogin& login_;
  const PurchaseAnswer onPurchase_;

  ThreadGroup pump_;  // the Steam pump, when Steam is ours
  std::atomic<int> pumpMs_{200};
  std::atomic<bool> initCalled_{false};
  std::atomic<bool> steamByGame_{false};
  std::atomic<bool> steamStarted_{false};  // InitSteam initialised Steam itself

  CCallback<SteamBridge, GetAuthSessionTicketResponse_t> ticketCallback_;
  CCallback<SteamBridge, MicroTxnAuthorizationResponse_t> purchaseCallback_;
};

}  // namespace NimoSdk
