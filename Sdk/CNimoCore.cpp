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
#include "Sdk/ExitDeadline.h"
#include "Sdk/JsonFields.h"
#include "Sdk/LockRule.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/NimoLog.h"
#include "Sdk/NimoOptions.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/ResultCode.h"
#include "Sdk/ServerAnswers.h"
#include "Sdk/Session.h"
#include "Sdk/Singletons.h"
#include "nimo_version.h"

namespace NimoSdk {

CNimoCore::CNimoCore() = default;

void CNimoCore::InitLog(bool enabled) { ConfigureLog(enabled); }

// ---------------------------------------------------------------- shared state

CoreParams CNimoCore::Params() const {
  nimo_sync::MutexLock lock(mutex_);
  return params_;
}

UserFacts CNimoCore::User() const {
  nimo_sync::MutexLock lock(mutex_);
  return user_;
}

std::string CNimoCore::UserId() const {
  nimo_sync::MutexLock lock(mutex_);
  return user_.userId;
}

void CNimoCore::SetSession(std::string token, std::string userId) {
  nimo_sync::MutexLock lock(mutex_);
  user_.token = std::move(token);
  user_.userId = std::move(userId);
}

bool CNimoCore::LogIn(std::string token, std::string userId) {
  // Checked under the lock a new session resets the login under.
  nimo_sync::MutexLock lock(mutex_);
  if (Exited()) return false;
  user_.token = std::move(token);
  user_.userId = std::move(userId);
  isLogin = true;
  return true;
}

// ---------------------------------------------------------------- start-up

void CNimoCore::InitSdk(std::string appId, std::string appKey, GameCallback callback) {
  Options().Freeze();
  steam_.Freeze();
  Delivery().Freeze();
  if (isExit.load() && !StartNewSession()) {
    // Exit is still stopping the session: this Init came before its end.
    NotifyGame(callback, ResultCode::kProcessExit, "Process Exit!");
    return;
  }
  if (isInit.load()) {
    NotifyGame(callback, ResultCode::kOk, "Sdk already init.");
    return;
  }
  // The rest runs on our thread; what the game does next waits for it where it
  // waited for the call (events, requests carrying the client id).
  HandOffStart(InitRequest{std::move(appId), std::move(appKey), callback});
}

void CNimoCore::HandOffStart(InitRequest request) {
  Track().HoldEvents();
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
      Track().ReleaseEvents();
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

void CNimoCore::CloseStarts(std::chrono::steady_clock::time_point deadline) {
  nimo_sync::UniqueLock lock(startMutex_);
  if (startThread_.load() != std::this_thread::get_id()) {
    startsEnded_.wait_until(lock, deadline, [this]() REQUIRES(startMutex_) { return !starting_; });
  }
  startsClosed_ = true;
}

bool CNimoCore::Start(InitRequest request) {
  // Decided under initMutex_, acted on after it: the game is called back, and the
  // request sent, with no lock of ours held (a callback may call Init again).
  enum class Next { SteamFailed, ReadIdThenAsk, Ask } next = Next::Ask;
  {
    // A repeated Init (the first still waiting, or refused) skips what is done
    // and only asks the server again. An Exit meanwhile waits for this.
    nimo_sync::MutexLock lock(initMutex_);
    if (!steamUp_) {
      InitLog(false);
      if (!steam_.InitSteam()) {
        isInit = false;
        next = Next::SteamFailed;
      } else {
        steamUp_ = true;
      }
    }
    if (next != Next::SteamFailed) {
      SetParams(std::move(request.appId), std::move(request.appKey));
      if (!servicesUp_) {
        CNimoHttp::StartPool();
        Track().Init();
        // Drafted here, before the configuration request and the events the game
        // posted since the call; the tracker adds the client id once it is known.
        Track().PostStartupEvent();
        servicesUp_ = true;
        if (request.readsId || idGate_.StartReading()) next = Next::ReadIdThenAsk;
      }
      if (next == Next::ReadIdThenAsk) Track().Sender().ExpectClientId();
    }
  }
  Track().ReleaseEvents();
  const GameCallback& callback = request.callback;
  switch (next) {
    case Next::SteamFailed:
      NotifyGame(callback, ResultCode::kSteamInitFailure, "Steam Init Failure!");
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
      AfterClientId([this, callback] { RequestConfig(callback); });
      break;
  }
  return request.readsId && next != Next::ReadIdThenAsk;
}

bool CNimoCore::StartNewSession() {
  nimo_sync::MutexLock initLock(initMutex_);
  if (!isExit.load()) return true;  // another Init began it
  if (!end_.Current()->stopped.load()) return false;
  // Our threads of the ended session are stopped or left to end; any still in a
  // game callback finds its session stale from here on.
  session::Begin();
  CNimoHttp::RenewPool();
  Track().BeginSession();
  Pay().BeginSession();
  steamUp_ = false;
  servicesUp_ = false;
  {
    nimo_sync::MutexLock lock(startMutex_);
    startsClosed_ = false;
  }
  steam_.BeginSession();
  isInit = false;
  isLogin = false;
  {
    // Under mutex_, as a login answer checks isExit (LogIn).
    nimo_sync::MutexLock lock(mutex_);
    login_.ForgetTickets();
    user_.token.clear();
    user_.userId = "-1";
    idGate_.ForgetUnlessKnown();  // read again
    end_.Renew();                 // isExit off, last, with the state the next Exit takes
  }
  LOG(INFO) << "New session after Exit.";
  return true;
}

void CNimoCore::RequestConfig(GameCallback callback) {
  if (Exited()) return;  // Exit answers the game
  const CoreParams params = Params();
  LOG(INFO) << "Init AppId:" << params.appId << ",ClientId:" << params.clientId;
  Api().RequestClientConfig([this, callback](HttpResp resp) { OnClientConfigAnswer(resp, callback); });
}

void CNimoCore::ReadClientId() { PublishClientId(NimoUtils::GetClientId()); }

void CNimoCore::PublishClientId(const std::string& id) {
  {
    nimo_sync::MutexLock lock(mutex_);
    params_.clientId = id;
  }
  idGate_.MarkKnown();
  Track().SetClientId(id);
}

void CNimoCore::OnClientConfigAnswer(const HttpResp& resp, GameCallback callback) {
  if (Exited()) return;
  if (resp.code == ResultCode::kOk) {
    std::int32_t testDevice = 0;
    if (ReadClientConfig(NimoUtils::WideToUtf8(resp.data), testDevice) && testDevice == 1) {
      InitLog(true);
      Options().LogInForce();  // the log is on from here: what this session talks to
    }
    isInit = true;
    Pay().QueryProducts(nullptr);  // preload; nobody is told the result
    Pay().RecoverJournal();        // payments an earlier run could not confirm
    std::int32_t attributed = 0;
    ReadInt32(NimoConfigUtils::ReadConfigJson(false), "AttributionFlag", attributed);
    if (attributed == 0) Api().RequestAttribution([this](HttpResp r) { OnAttributionAnswer(r); });
  }
  NotifyGame(callback, resp);
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
  std::string steamAppId = std::to_string(utils != nullptr ? utils->GetAppID() : 0u);
  nimo_sync::MutexLock lock(mutex_);
  params_.appId = std::move(appId);
  params_.appKey = std::move(appKey);
  params_.os = "Windows";
  params_.sdkVer = "SteamEXE_" NIMO_VERSION_STRING;
  params_.sdkType = "html5";
  params_.runPlatform = "html5";
  params_.gamePlatform = "steam";
  params_.steamAppId = steamAppId;
}

// ---------------------------------------------------------------- purchases

bool CNimoCore::IsPayAvailable() {
  if (!isInit.load()) return false;
  ISteamUtils* utils = SteamUtils();
  return utils != nullptr && utils->IsOverlayEnabled();
}

void CNimoCore::CallPay(std::string productId, std::string extInfo, GameCallback callback) {
  if (Exited()) {
    NotifyGame(callback, ResultCode::kProcessExit, "Process Exit!");
    return;
  }
  if (!isInit.load()) {
    NotifyGame(callback, ResultCode::kNotInit, "Sdk Not Init.");
    return;
  }
  if (!isLogin.load()) {
    NotifyGame(callback, ResultCode::kNotLogin, "Not Login.");
    return;
  }
  Pay().CreateOrder(std::move(productId), std::move(extInfo), callback);
}

// ---------------------------------------------------------------- user facts

void CNimoCore::SetServerId(std::string serverId) {
  {
    nimo_sync::MutexLock lock(mutex_);
    user_.serverId = serverId;
  }
  Track().SyncUserInfo();
  LOG(INFO) << "Set Game User Info, SetServerId:" << serverId;
}

void CNimoCore::SetGameUserId(std::string gameUserId) {
  {
    nimo_sync::MutexLock lock(mutex_);
    user_.gameUserId = gameUserId;
  }
  Track().SyncUserInfo();
  LOG(INFO) << "Set Game User Info, SetGameUserId:" << gameUserId;
}

void CNimoCore::SetNickName(std::string nickName) {
  {
    nimo_sync::MutexLock lock(mutex_);
    user_.nickName = nickName;
  }
  Track().SyncUserInfo();
  LOG(INFO) << "Set Game User Info, SetNickName:" << nickName;
}

void CNimoCore::SetLevel(int level) {
  {
    nimo_sync::MutexLock lock(mutex_);
    user_.level = level;
  }
  Track().SyncUserInfo();
  LOG(INFO) << "Set Game User Info, SetLevel:" << level;
}

void CNimoCore::Logout() {
  {
    nimo_sync::MutexLock lock(mutex_);
    user_.userId = "-1";
    user_.token.clear();
    user_.gameUserId.clear();
    user_.nickName.clear();
    user_.serverId.clear();
    user_.level = 0;
  }
  isLogin = false;
  LOG(INFO) << "Logout Success." << "\n";
}

void CNimoCore::Exit() {
  // Exit waits for threads that may be inside a game callback.
  CheckNoLocksHeld("Exit");
  const std::shared_ptr<SessionEnd::State> state = end_.Current();
  if (state->exitDone.exchange(true)) {
    // Exit under way on another thread: once this returns the game polls a last
    // time or unloads us, so wait for it (bounded). From its own callbacks, return.
    if (state->exitThread.load() != std::this_thread::get_id()) state->exitFinished.WaitFor(std::chrono::seconds(2));
    return;
  }
  state->exitThread = std::this_thread::get_id();
  // Every wait below ends by this one deadline, so Exit returns within a second.
  const ExitDeadline deadline(std::chrono::milliseconds(950));
  isExit = true;
  idGate_.WakeForExit();
  // From here on only Exit answers the operations still open; no thread of ours
  // calls the game while Exit waits.
  std::vector<std::shared_ptr<OpenOperation>> open = Delivery().BeginExit();
  state->exitSignal.Set();
  // The start-ups Init handed off end first (Steam, the services, the start-up
  // event), as when they ran inside the call; those still to come do nothing.
  CloseStarts(deadline.End());
  {
    // A start-up step past the deadline ends first.
    nimo_sync::MutexLock lock(initMutex_);
  }
  // The pump may be in a game callback: it gets a share, the events their time.
  steam_.Shutdown(deadline.Share(std::chrono::milliseconds(250)));
  Track().Shutdown(deadline.Share(std::chrono::milliseconds(400)));  // events in memory go to the queue file
  CNimoHttp::StopPool(deadline.End());
  Pay().StopPayThread(deadline.End());
  if (!waits_.JoinUntil(deadline.End())) {
    LOG(WARNING) << "A login wait thread is still in a game callback; left to end.";
  }
  {
    // The player is forgotten with the session (as Logout); facts set from now
    // on are for the next session.
    nimo_sync::MutexLock lock(mutex_);
    user_ = UserFacts{};
  }
  isLogin = false;
  LOG(INFO) << "Excute Exit.";
  // The settings of the game may change for the next session; an Init from
  // here on (from one of the callbacks below, say) begins it.
  steam_.Thaw();
  Delivery().Thaw();
  Options().Thaw();
  state->stopped = true;
  Delivery().EndAtExit(open, ResultCode::kProcessExit, "Process Exit!");
  state->exitFinished.Set();
}

}  // namespace NimoSdk
