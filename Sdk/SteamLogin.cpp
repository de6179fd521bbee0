#include "Sdk/SteamLogin.h"

#include <easylogging++.h>

#include <algorithm>
#include <vector>

#include "Sdk/CNimoUser.h"
#include "Sdk/ResultCode.h"
#include "Sdk/SessionEnd.h"
#include "platform/steam/steam_api.h"

namespace NimoSdk {

SteamLogin::SteamLogin(const SessionEnd& end, ThreadGroup& waits, const std::atomic<bool>& isInit, CNimoUser& user)
    : end_(end), waits_(waits), isInit_(isInit), user_(user) {
  ticketResults_.rehash(8);
  ticketResults_.max_load_factor(1.0f);
}

int SteamLogin::TicketResult(int handle) {
  nimo_sync::MutexLock lock(mutex_);
  return ticketResults_[handle];
}

void SteamLogin::SetTicketResult(int handle, int result) {
  nimo_sync::MutexLock lock(mutex_);
  ticketResults_[handle] = result;
}

void SteamLogin::ForgetTickets() {
  nimo_sync::MutexLock lock(mutex_);
  ticketResults_.clear();
}

void SteamLogin::LoginSteam(GameCallback callback) {
  if (end_.Exited()) {
    NotifyGame(callback, ResultCode::kProcessExit, "Process Exit!");
    return;
  }
  if (!isInit_.load()) {
    NotifyGame(callback, ResultCode::kNotInit, "Sdk Not Init.");
    return;
  }
  ISteamUser* user = SteamUser();
  std::vector<unsigned char> buffer(4096);
  uint32 size = 0;
  HAuthTicket handle = 0;
  std::string steamId;
  if (user != nullptr) {
    steamId = std::to_string(user->GetSteamID().ConvertToUint64());
    handle = user->GetAuthSessionTicket(buffer.data(), static_cast<int>(buffer.size()), &size, nullptr);
  }
  if (user == nullptr || handle == 0) {
    NotifyGame(callback, ResultCode::kTicketFailure, "Steam Ticket Auth Failure!");
    return;
  }
  size = std::min<uint32>(size, static_cast<uint32>(buffer.size()));
  static const char kHex[] = "0123456789abcdef";
  std::string ticketHex;
  ticketHex.reserve(size * 2u);
  for (uint32 i = 0; i < size; ++i) {
    ticketHex.push_back(kHex[buffer[i] >> 4]);
    ticketHex.push_back(kHex[buffer[i] & 0x0F]);
  }
  LOG(INFO) << "loginSteam Session:" << handle << " Tictket：" << ticketHex << "\n";
  int ticket = static_cast<int>(handle);
  if (!waits_.Spawn([this, steamId, ticket, ticketHex, callback] {
        TaskCheckSteamAuth(steamId, ticket, ticketHex, callback);
      })) {
    NotifyGame(callback, ResultCode::kTicketFailure, "Steam Ticket Auth Failure!");
  }
}

void SteamLogin::TaskCheckSteamAuth(std::string steamId, int ticketHandle, std::string ticketHex,
                                    GameCallback callback) {
  int status = 0;
  for (int pass = 0; pass < 100 && !end_.Exited(); ++pass) {
    if (!end_.SleepUnlessExit(std::chrono::milliseconds(ticketPollMs_.load()))) break;
    status = TicketResult(ticketHandle);
    if (status != 0) {
      LOG(INFO) << "ticket 已响应，状态：" << status << "\n";
      break;
    }
  }
  // Exit answers this login on its own thread: the call began before Exit set
  // its flag, so its operation is among those Exit takes. Answering here could
  // come first, between the flag and the taking.
  if (end_.Exited()) return;
  if (status == 0) {
    NotifyGame(callback, ResultCode::kTicketTimeout, "Steam Ticket TimeOut!");
  } else if (status == k_EResultOK) {
    user_.Login(std::move(steamId), std::move(ticketHex), callback);
  } else {
    NotifyGame(callback, ResultCode::kTicketFailure, "Steam Ticket Auth Failure!");
  }
  // After the game's callback: a new session may have begun meanwhile, with its own tickets.
  if (!end_.Exited()) SetTicketResult(ticketHandle, 0);
}

}  // namespace NimoSdk
