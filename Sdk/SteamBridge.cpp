#include "Sdk/SteamBridge.h"

#include <easylogging++.h>

#include <string>
#include <utility>

#include "Sdk/LockRule.h"
#include "Sdk/SessionEnd.h"
#include "Sdk/SteamLogin.h"

namespace NimoSdk {

SteamBridge::SteamBridge(const SessionEnd& end, SteamLogin& login, PurchaseAnswer onPurchase)
    : end_(end),
      login_(login),
      onPurchase_(std::move(onPurchase)),
      ticketCallback_(this, &SteamBridge::OnAuthSessionTicketResponse),
      purchaseCallback_(this, &SteamBridge::OnMicroTxnAuthorizationResponse) {}

bool SteamBridge::SetSteamOwnedByGame(bool byGame) {
  if (initCalled_.load()) return false;
  steamByGame_ = byGame;
  return true;
}

bool SteamBridge::InitSteam(const std::function<bool()>& wanted) {
  if (steamByGame_.load()) {
    // The game's Steam: our callbacks are registered since load, and its own
    // SteamAPI_RunCallbacks delivers them.
    if (SteamUser() == nullptr || SteamUtils() == nullptr) {
      LOG(ERROR) << "Steam初始化失败，必须先运行 steam 客户端才能开始游戏." << " (the game has not initialised Steam)\n";
      return false;
    }
    LOG(INFO) << "Steam initialised by the game; its callback loop delivers ours.\n";
    return true;
  }
  if (SteamAPI_InitFlat(nullptr) != 0) {
    LOG(ERROR) << "Steam初始化失败，必须先运行 steam 客户端才能开始游戏." << "\n";
    return false;
  }
  if (wanted && !wanted()) {
    SteamAPI_Shutdown();
    LOG(WARNING) << "Steam's initialisation came back after Exit; shut down again.";
    return false;
  }
  LOG(INFO) << "Steam初始化成功，开启异步线程进行steam消息循环..." << "\n";
  if (!pump_.Spawn([this] { TaskSteamCallback(); })) {
    // Without a pump no Steam answer would ever arrive.
    LOG(ERROR) << "Steam message thread could not be created.";
    SteamAPI_Shutdown();
    return false;
  }
  steamStarted_ = true;
  return true;
}

void SteamBridge::TaskSteamCallback() {
  while (!end_.Exited()) {
    CheckNoLocksHeld("Steam callbacks, the game's among them");
    SteamAPI_RunCallbacks();
    if (!end_.SleepUnlessExit(std::chrono::milliseconds(pumpMs_.load()))) break;
  }
  LOG(INFO) << "Steam 消息循环 退出";
}

void SteamBridge::Shutdown(std::chrono::steady_clock::time_point deadline) {
  // The pump must have ended before Steam goes away under it.
  const bool pumpEnded = pump_.JoinUntil(deadline);
  if (steamStarted_.load()) {  // only the Steam we started: never the game's
    if (pumpEnded) {
      SteamAPI_Shutdown();
    } else {
      LOG(ERROR) << "Steam message loop still running; Steam is left up.";
    }
  }
}

void SteamBridge::OnAuthSessionTicketResponse(GetAuthSessionTicketResponse_t* response) {
  if (response == nullptr) return;
  LOG(INFO) << "Ticket Response，Session:" << response->m_hAuthTicket << ", eResult:"
            << static_cast<int>(response->m_eResult) << "\n";
  login_.SetTicketResult(static_cast<int>(response->m_hAuthTicket), static_cast<int>(response->m_eResult));
}

void SteamBridge::OnMicroTxnAuthorizationResponse(MicroTxnAuthorizationResponse_t* result) {
  // After Exit a game that pumps Steam itself still dispatches to us; nothing is sent any more.
  if (result == nullptr || end_.Exited()) return;
  std::string appId = std::to_string(result->m_unAppID);
  std::string orderId = std::to_string(result->m_ulOrderID);
  std::string flag = std::to_string(static_cast<int>(static_cast<signed char>(result->m_bAuthorized)));
  LOG(INFO) << "Steam Pay Result Callback，AppID:" << appId << ", Authorized:" << flag << ", SteamOrderID:" << orderId;
  onPurchase_(flag, orderId);
}

}  // namespace NimoSdk
