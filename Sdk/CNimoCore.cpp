#include "Sdk/CNimoCore.h"

#include <easylogging++.h>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

#include "Sdk/CNimoApi.h"
#include "Sdk/CNimoDelivery.h"
#include "Sdk/CNimoHttp.h"
#include "Sdk/CNimoPay.h"
#include "Sdk/CNimoTrack.h"
#include "Sdk/CNimoUser.h"
#include "Sdk/JsonFields.h"
#include "Sdk/LockRule.h"
#include "Sdk/NimoConfigUtils.h"
#include "Sdk/NimoLog.h"
#include "Sdk/NimoOptions.h"
#include "Sdk/NimoUtils.h"
#include "Sdk/ServerAnswers.h"
#include "Sdk/Singletons.h"
#include "nimo_version.h"

namespace NimoSdk {

CNimoCore::CNimoCore()
    : ticketCallback_(this, &CNimoCore::OnAuthSessionTicketResponse),
      purchaseCallback_(this, &CNimoCore::OnMicroTxnAuthorizationResponse) {
  ticketResults_.rehash(8);
  ticketResults_.max_load_factor(1.0f);
}

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

std::shared_ptr<CNimoCore::SessionState> CNimoCore::State() const {
  nimo_sync::MutexLock lock(mutex_);
  return state_;
}

bool CNimoCore::SleepUnlessExit(std::chrono::milliseconds d) const {
  // Taken before the check: if this session ends from here on, its Exit sets it.
  const std::shared_ptr<SessionState> state = State();
  if (Exited()) return false;
  return !state->exitSignal.WaitFor(d) && !Exited();
}

int CNimoCore::TicketResult(int handle) {
  nimo_sync::MutexLock lock(mutex_);
  return ticketResults_[handle];
}

void CNimoCore::SetTicketResult(int handle, int result) {
  nimo_sync::MutexLock lock(mutex_);
  ticketResults_[handle] = result;
}

// ---------------------------------------------------------------- Steam bridge

bool CNimoCore::SetSteamOwnedByGame(bool byGame) {
  if (initCalled_.load()) return false;
  steamByGame_ = byGame;
  return true;
}

bool CNimoCore::InitSteam() {
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

void CNimoCore::TaskSteamCallback() {
  while (!Exited()) {
    CheckNoLocksHeld("Steam callbacks, the game's among them");
    SteamAPI_RunCallbacks();
    if (!SleepUnlessExit(std::chrono::milliseconds(pumpMs_.load()))) break;
  }
  LOG(INFO) << "Steam 消息循环 退出";
}

void CNimoCore::OnAuthSessionTicketResponse(GetAuthSessionTicketResponse_t* response) {
  if (response == nullptr) return;
  LOG(INFO) << "Ticket Response，Session:" << response->m_hAuthTicket << ", eResult:"
            << static_cast<int>(response->m_eResult) << "\n";
  SetTicketResult(static_cast<int>(response->m_hAuthTicket), static_cast<int>(response->m_eResult));
}

void CNimoCore::OnMicroTxnAuthorizationResponse(MicroTxnAuthorizationResponse_t* result) {
  // After Exit a game that pumps Steam itself still dispatches to us; nothing is sent any more.
  if (result == nullptr || Exited()) return;
  std::string appId = std::to_string(result->m_unAppID);
  std::string orderId = std::to_string(result->m_ulOrderID);
  std::string flag = std::to_string(static_cast<int>(static_cast<signed char>(result->m_bAuthorized)));
  LOG(INFO) << "Steam Pay Result Callback，AppID:" << appId << ", Authorized:" << flag << ", SteamOrderID:" << orderId;
  Pay().OnSteamAnswer(flag, orderId);
}

bool CNimoCore::IsPayAvailable() {
  if (!isInit.load()) return false;
  ISteamUtils* utils = SteamUtils();
  return utils != nullptr && utils->IsOverlayEnabled();
}

// ---------------------------------------------------------------- start-up

void CNimoCore::InitSdk(std::string appId, std::string appKey, GameCallback callback) {
  Options().Freeze();
  initCalled_ = true;
  Delivery().Freeze();
  if (isExit.load() && !StartNewSession()) {
    // Exit is still stopping the session: this Init came before its end.
    NotifyGame(callback, -400, "Process Exit!");
    return;
  }
  if (isInit.load()) {
    NotifyGame(callback, 200, "Sdk already init.");
    return;
  }
  // Decided under initMutex_, acted on after it: the game is called back, and the
  // request sent, with no lock of ours held (a callback may call Init again).
  enum class Next { SteamFailed, ReadIdThenAsk, Ask } next = Next::Ask;
  {
    // A repeated Init (the first still waiting, or refused) skips what is done
    // and only asks the server again.
    nimo_sync::MutexLock lock(initMutex_);
    if (isExit.load()) return;  // Exit came meanwhile: it answers this Init
    if (!steamUp_) {
      InitLog(false);
      if (!InitSteam()) {
        isInit = false;
        next = Next::SteamFailed;
      } else {
        steamUp_ = true;
      }
    }
    if (next != Next::SteamFailed) {
      SetParams(std::move(appId), std::move(appKey));
      if (!servicesUp_) {
        CNimoHttp::StartPool();
        Track().Init();
        // Drafted here, before the configuration request; the tracker adds the
        // client id once it is known.
        Track().PostEvent("zko_startup", "", std::numeric_limits<double>::quiet_NaN());
        servicesUp_ = true;
        nimo_sync::MutexLock stateLock(mutex_);
        if (idState_ == IdState::Unread) {
          idState_ = IdState::Reading;
          next = Next::ReadIdThenAsk;
        }
      }
      if (next == Next::ReadIdThenAsk) Track().Sender().ExpectClientId();
    }
  }
  switch (next) {
    case Next::SteamFailed:
      NotifyGame(callback, -402, "Steam Init Failure!");
      return;
    case Next::ReadIdThenAsk: {
      // One worker reads the id, then asks for the configuration.
      auto first = [this, callback] {
        ReadClientId();
        RequestConfig(callback);
      };
      if (!waits_.Spawn(first)) first();
      return;
    }
    case Next::Ask:
      AfterClientId([this, callback] { RequestConfig(callback); });
      return;
  }
}

bool CNimoCore::StartNewSession() {
  nimo_sync::MutexLock initLock(initMutex_);
  if (!isExit.load()) return true;  // another Init began it
  if (!State()->stopped.load()) return false;
  // Our threads of the ended session are stopped or left to end; any still in a
  // game callback finds its session stale from here on.
  session::Begin();
  CNimoHttp::RenewPool();
  Track().BeginSession();
  Pay().BeginSession();
  steamUp_ = false;
  servicesUp_ = false;
  steamStarted_ = false;
  isInit = false;
  isLogin = false;
  {
    nimo_sync::MutexLock lock(mutex_);
    state_ = std::make_shared<SessionState>();
    ticketResults_.clear();
    user_.token.clear();
    user_.userId = "-1";
    if (idState_ != IdState::Known) idState_ = IdState::Unread;  // read again
    isExit = false;
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
    idState_ = IdState::Known;
  }
  idCv_.notify_all();
  Track().SetClientId(id);
}

void CNimoCore::AfterClientId(std::function<void()> task) {
  bool reading = false;
  {
    nimo_sync::MutexLock lock(mutex_);
    reading = idState_ == IdState::Reading;
  }
  if (!reading) {  // known, or nobody reads it: nothing to wait for
    task();
    return;
  }
  auto wait = [this, task] {
    constexpr auto kBound = std::chrono::seconds(10);
    bool known = false;
    {
      nimo_sync::UniqueLock lock(mutex_);
      known = idCv_.wait_for(lock, kBound,
                             [this]() REQUIRES(mutex_) { return idState_ == IdState::Known || Exited(); }) &&
              idState_ == IdState::Known;
    }
    if (!known && !Exited()) LOG(ERROR) << "Client id not read in time; the request goes without it.";
    task();
  };
  if (!waits_.Spawn(wait)) wait();
}

void CNimoCore::OnClientConfigAnswer(const HttpResp& resp, GameCallback callback) {
  if (Exited()) return;
  if (resp.code == 200) {
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
  if (resp.code != 200) return;
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

// ---------------------------------------------------------------- login

void CNimoCore::LoginSteam(GameCallback callback) {
  if (Exited()) {
    NotifyGame(callback, -400, "Process Exit!");
    return;
  }
  if (!isInit.load()) {
    NotifyGame(callback, -401, "Sdk Not Init.");
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
    NotifyGame(callback, -404, "Steam Ticket Auth Failure!");
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
    NotifyGame(callback, -404, "Steam Ticket Auth Failure!");
  }
}

void CNimoCore::TaskCheckSteamAuth(std::string steamId, int ticketHandle, std::string ticketHex,
                                   GameCallback callback) {
  int status = 0;
  for (int pass = 0; pass < 100 && !Exited(); ++pass) {
    if (!SleepUnlessExit(std::chrono::milliseconds(ticketPollMs_.load()))) break;
    status = TicketResult(ticketHandle);
    if (status != 0) {
      LOG(INFO) << "ticket 已响应，状态：" << status << "\n";
      break;
    }
  }
  if (Exited()) {
    // Exit answers this login itself once our threads have stopped; this only
    // reaches the game for a login that began after Exit had started.
    NotifyGame(callback, -400, "Process Exit!");
    return;
  }
  if (status == 0) {
    NotifyGame(callback, -403, "Steam Ticket TimeOut!");
  } else if (status == k_EResultOK) {
    CNimoUser::Login(std::move(steamId), std::move(ticketHex), callback);
  } else {
    NotifyGame(callback, -404, "Steam Ticket Auth Failure!");
  }
  // After the game's callback: a new session may have begun meanwhile, with its own tickets.
  if (!Exited()) SetTicketResult(ticketHandle, 0);
}

// ---------------------------------------------------------------- purchases

void CNimoCore::CallPay(std::string productId, std::string extInfo, GameCallback callback) {
  if (Exited()) {
    NotifyGame(callback, -400, "Process Exit!");
    return;
  }
  if (!isInit.load()) {
    NotifyGame(callback, -401, "Sdk Not Init.");
    return;
  }
  if (!isLogin.load()) {
    NotifyGame(callback, -405, "Not Login.");
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
  const std::shared_ptr<SessionState> state = State();
  if (state->exitDone.exchange(true)) {
    // Exit under way on another thread: once this returns the game polls a last
    // time or unloads us, so wait for it (bounded). From its own callbacks, return.
    if (state->exitThread.load() != std::this_thread::get_id()) state->exitFinished.WaitFor(std::chrono::seconds(2));
    return;
  }
  state->exitThread = std::this_thread::get_id();
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(950);
  isExit = true;
  {
    nimo_sync::MutexLock lock(mutex_);  // a waiter between its check and its wait still hears it
  }
  idCv_.notify_all();
  // From here on only Exit answers the operations still open; no thread of ours
  // calls the game while Exit waits.
  std::vector<std::shared_ptr<OpenOperation>> open = Delivery().BeginExit();
  state->exitSignal.Set();
  {
    // An Init step under way (Steam, the services) ends first; later ones see isExit.
    nimo_sync::MutexLock lock(initMutex_);
  }
  // The pump must have ended before Steam goes away under it.
  const bool pumpEnded = pump_.JoinUntil(Clock::now() + std::chrono::milliseconds(250));
  if (steamStarted_.load()) {  // only the Steam we started: never the game's
    if (pumpEnded) {
      SteamAPI_Shutdown();
    } else {
      LOG(ERROR) << "Steam message loop still running; Steam is left up.";
    }
  }
  Track().Shutdown();  // events still in memory go to the queue file
  CNimoHttp::StopPool();
  Pay().StopPayThread(deadline);
  if (!waits_.JoinUntil(deadline)) LOG(WARNING) << "A login wait thread is still in a game callback; left to end.";
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
  initCalled_ = false;
  Delivery().Thaw();
  Options().Thaw();
  state->stopped = true;
  Delivery().EndAtExit(open, -400, "Process Exit!");
  state->exitFinished.Set();
}

}  // namespace NimoSdk
