#include "Sdk/CNimoCore.h"

#include <easylogging++.h>

#include <cstdio>
#include <limits>
#include <thread>
#include <vector>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoDelivery.h"
#include "Sdk/CNimoHttp.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/CNimoUser.h"
#include "Sdk/JsonFields.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/NimoLog.h"
#include "Sdk/NimoOptions.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/ResultCode.h"
#include "Sdk/ServerAnswers.h"
#include "Sdk/Session.h"

namespace NimoSdk {

CNimoCore::CNimoCore(const CoreWiring& parts)
    : end_(parts.end),
      facts_(parts.facts),
      waits_(parts.waits),
      idGate_(parts.idGate),
      api_(parts.api),
      track_(parts.track),
      pay_(parts.pay),
      options_(parts.options),
      delivery_(parts.delivery),
      login_(parts.end, parts.waits, isInit_, parts.user),
      steam_(parts.end, login_, [&pay = parts.pay](std::string status, std::string steamOrderId) {
        pay.OnSteamAnswer(std::move(status), std::move(steamOrderId));
      }) {}

void CNimoCore::InitLog(bool enabled) { ConfigureLog(enabled); }

// ---------------------------------------------------------------- shared state

CoreParams CNimoCore::Params() const { return facts_.Params(); }

UserFacts CNimoCore::User() const { return facts_.User(); }

std::string CNimoCore::UserId() const { return facts_.UserId(); }

bool CNimoCore::IsLoggedIn() const { return facts_.LoggedIn(); }

bool CNimoCore::IsExiting() const { return end_.Exiting(); }

bool CNimoCore::Exited() const { return end_.Exited(); }

void CNimoCore::AssumeReady(bool loggedIn) {
  isInit_ = true;
  if (loggedIn) facts_.LogIn(facts_.User().token, facts_.UserId());
}

// ---------------------------------------------------------------- start-up

void CNimoCore::InitSdk(std::string appId, std::string appKey, GameCallback callback) {
  options_.Freeze();
  steam_.Freeze();
  delivery_.Freeze();
  if (end_.Exiting() && !StartNewSession()) {
    // Exit is still stopping the session: this Init came before its end.
    NotifyGame(callback, ResultCode::kProcessExit, "Process Exit!");
    return;
  }
  if (isInit_.load()) {
    NotifyGame(callback, ResultCode::kOk, "Sdk already init.");
    return;
  }
  // The rest runs on our thread; what the game does next waits for it where it
  // waited for the call (events, requests carrying the client id).
  HandOffStart(InitRequest{std::move(appId), std::move(appKey), callback});
}

void CNimoCore::HandOffStart(InitRequest request) {
  track_.HoldEvents();
  {
    nimo_sync::MutexLock lock(startMutex_);
    request.readsId = idGate_.StartReading();
    request.session = session::OfThisThread();
    starts_.push_back(std::move(request));
    if (starting_) return;  // the running thread takes it
    starting_ = true;
  }
  if (!waits_.Spawn([this] { RunStarts(); })) RunStarts();
}

void CNimoCore::RunStarts() {
  startThread_ = std::this_thread::get_id();
  for (;;) {
    InitRequest request;
    bool closed = false;
    {
      nimo_sync::MutexLock lock(startMutex_);
      if (starts_.empty()) {
        starting_ = false;
        steamStep_ = kNotInSteam;  // a new session may begin: nothing of this thread's is left
        startThread_ = std::thread::id();
        startsEnded_.notify_all();
        return;
      }
      request = std::move(starts_.front());
      starts_.pop_front();
      // One made before an Exit that did not wait for it (called from our callback) is that Exit's.
      closed = startsClosed_ || request.session != session::Current();
    }
    bool markLeft = request.readsId && request.session == session::Current();  // else a new session's gate
    if (closed) {
      track_.ReleaseEvents();
    } else {
      session::Scope scope(request.session);  // as the Init that made it
      markLeft = Start(std::move(request));
    }
    if (markLeft) {
      // The next Init reads the id in its place; with none, nobody reads it.
      nimo_sync::MutexLock lock(startMutex_);
      if (!starts_.empty()) {
        starts_.front().readsId = true;
      } else {
        idGate_.StopReading();
      }
    }
  }
}

bool CNimoCore::Start(InitRequest request) {
  // Decided under initMutex_, acted on after it: the game is called back, and the
  // request sent, with no lock of ours held (a callback may call Init again).
  enum class Next { SteamFailed, PassedByExit, ReadIdThenAsk, Ask } next = Next::Ask;
  {
    // A repeated Init (the first still waiting, or refused) skips what is done
    // and only asks the server again. An Exit meanwhile waits for this, within its bound.
    nimo_sync::MutexLock lock(initMutex_);
    if (exitPassed_) next = Next::PassedByExit;  // that Exit answered the game
    if (next == Next::Ask && !steamUp_) {
      InitLog(false);
      steamStep_ = kInSteam;
      // False once Exit has left this step; asked when Steam answers, and again here
      // in case InitSteam did not ask (then it does nothing).
      auto endSteamStep = [this] {
        int step = kInSteam;
        return steamStep_.compare_exchange_strong(step, kNotInSteam) || step != kLeftByExit;
      };
      const bool up = steam_.InitSteam(endSteamStep);
      if (!endSteamStep()) {
        next = Next::PassedByExit;  // the Steam it got is shut down again; the thread's end resets the step
      } else if (!up) {
        isInit_ = false;
        next = Next::SteamFailed;
      } else {
        steamUp_ = true;
      }
    }
    if (next == Next::Ask) {
      SetParams(std::move(request.appId), std::move(request.appKey));
      if (!servicesUp_) {
        CNimoHttp::StartPool();
        track_.Init();
        // Drafted here, before the configuration request and the events the game
        // posted since the call; the tracker adds the client id once it is known.
        track_.PostStartupEvent();
        servicesUp_ = true;
        if (request.readsId || idGate_.StartReading()) next = Next::ReadIdThenAsk;
      }
      if (next == Next::ReadIdThenAsk) track_.Sender().ExpectClientId();
    }
  }
  track_.ReleaseEvents();
  const GameCallback& callback = request.callback;
  switch (next) {
    case Next::SteamFailed:
      NotifyGame(callback, ResultCode::kSteamInitFailure, "Steam Init Failure!");
      break;
    case Next::PassedByExit:
      break;
    case Next::ReadIdThenAsk: {
      // One worker reads the id, then asks for the configuration.
      auto first = [this, callback] {
        ReadClientId();
        RequestConfig(callback);
      };
      if (!waits_.Spawn(first)) first();
      break;
    }
    case Next::Ask:
      idGate_.AfterClientId([this, callback] { RequestConfig(callback); });
      break;
  }
  return request.readsId && next != Next::ReadIdThenAsk;
}

void CNimoCore::RequestConfig(GameCallback callback) {
  if (Exited()) return;  // Exit answers the game
  const CoreParams params = Params();
  LOG(INFO) << "Init AppId:" << params.appId << ",ClientId:" << params.clientId;
  api_.RequestClientConfig([this, callback](HttpResp resp) { OnClientConfigAnswer(resp, callback); });
}

void CNimoCore::ReadClientId() { PublishClientId(NimoUtils::GetClientId()); }

void CNimoCore::PublishClientId(const std::string& id) {
  facts_.SetClientId(id);
  idGate_.MarkKnown();
  track_.SetClientId(id);
}

void CNimoCore::OnClientConfigAnswer(const HttpResp& resp, GameCallback callback) {
  if (Exited()) return;
  if (resp.code == ResultCode::kOk) {
    std::int32_t testDevice = 0;
    if (ReadClientConfig(resp.data, testDevice) && testDevice == 1) {
      InitLog(true);
      options_.LogInForce();  // the log is on from here: what this session talks to
    }
    isInit_ = true;
    pay_.QueryProducts(nullptr);  // preload; nobody is told the result
    pay_.RecoverJournal();        // payments an earlier run could not confirm
    std::int32_t attributed = 0;
    ReadInt32(NimoConfigUtils::ReadConfigJson(false), "AttributionFlag", attributed);
    if (attributed == 0) api_.RequestAttribution([this](HttpResp r) { OnAttributionAnswer(r); });
  }
  NotifyGame(callback, resp);
  if (resp.code == ResultCode::kOk) pay_.TellUnfinished();  // after Init's own answer
}

void CNimoCore::OnAttributionAnswer(const HttpResp& resp) {
  if (resp.code != ResultCode::kOk) return;
  NimoConfigUtils::Update(false, [](nlohmann::json& conf) { conf["AttributionFlag"] = 1; });
  LOG(INFO) << "Send Attribution Success.";
}

void CNimoCore::InitGlobalParams(std::string appId, std::string appKey) {
  std::string clientId = NimoUtils::GetClientId();
  SetParams(std::move(appId), std::move(appKey));
  PublishClientId(clientId);
  LOG(INFO) << "Init AppId:" << Params().appId << ",ClientId:" << clientId;
}

void CNimoCore::SetParams(std::string appId, std::string appKey) {
  ISteamUtils* utils = SteamUtils();
  facts_.SetParams(std::move(appId), std::move(appKey), std::to_string(utils != nullptr ? utils->GetAppID() : 0u));
}

// ---------------------------------------------------------------- purchases

bool CNimoCore::IsPayAvailable() {
  if (!isInit_.load()) return false;
  ISteamUtils* utils = SteamUtils();
  return utils != nullptr && utils->IsOverlayEnabled();
}

void CNimoCore::CallPay(std::string productId, std::string extInfo, GameCallback callback) {
  if (Exited()) {
    NotifyGame(callback, ResultCode::kProcessExit, "Process Exit!");
    return;
  }
  if (!isInit_.load()) {
    NotifyGame(callback, ResultCode::kNotInit, "Sdk Not Init.");
    return;
  }
  if (!facts_.LoggedIn()) {
    NotifyGame(callback, ResultCode::kNotLogin, "Not Login.");
    return;
  }
  pay_.CreateOrder(std::move(productId), std::move(extInfo), callback);
}

// ---------------------------------------------------------------- user facts

void CNimoCore::SetServerId(std::string serverId) {
  facts_.SetServerId(serverId);
  track_.SyncUserInfo();
  LOG(INFO) << "Set Game User Info, SetServerId:" << serverId;
}

void CNimoCore::SetGameUserId(std::string gameUserId) {
  facts_.SetGameUserId(gameUserId);
  track_.SyncUserInfo();
  LOG(INFO) << "Set Game User Info, SetGameUserId:" << gameUserId;
}

void CNimoCore::SetNickName(std::string nickName) {
  facts_.SetNickName(nickName);
  track_.SyncUserInfo();
  LOG(INFO) << "Set Game User Info, SetNickName:" << nickName;
}

void CNimoCore::SetLevel(int level) {
  facts_.SetLevel(level);
  track_.SyncUserInfo();
  LOG(INFO) << "Set Game User Info, SetLevel:" << level;
}

void CNimoCore::Logout() {
  facts_.Logout();
  LOG(INFO) << "Logout Success." << "\n";
}

}  // namespace NimoSdk
