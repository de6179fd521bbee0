#include "Sdk/CNimoTrack.h"

#include <easylogging++.h>

#include <chrono>
#include <limits>
#include <optional>

#include "Sdk/NimoConfigUtils.h"
#include "platform/sys/OsInfo.h"
#include "platform/sys/Screen.h"
#include "platform/sys/TimeZone.h"

namespace NimoSdk {
namespace {

constexpr const char* kUnknown = "_unknown";

std::int64_t NowMs() {
  return static_cast<std::int64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

}  // namespace

// ---------------------------------------------------------------- facts

CNimoTrack::CNimoTrack(const SessionFacts& session, EventDispatcher::Transport transport, nimo_sys::FileSystem& files)
    : session_(session),
      transport_(std::move(transport)),
      files_(files),
      context_(std::make_shared<const EventContext>()),
      sender_(std::make_unique<EventSender>(transport_, files_)) {}

std::shared_ptr<const EventContext> CNimoTrack::Context() const {
  nimo_sync::MutexLock lock(mutex_);
  return context_;
}

template <typename Change>
void CNimoTrack::ChangeFacts(Change change) {
  // Changes are rare (Init, the setters); posts are not, so they share what this publishes.
  nimo_sync::MutexLock lock(mutex_);
  auto next = std::make_shared<EventContext>(*context_);
  change(*next);
  context_ = std::move(next);
}

CNimoTrack::Facts CNimoTrack::Snapshot() const { return Context()->facts; }

std::string CNimoTrack::DeviceId() const { return Context()->facts.deviceId; }

std::string CNimoTrack::Resolution() const { return Context()->facts.resolution; }

// ---------------------------------------------------------------- start-up

void CNimoTrack::InitEventTable() {
  auto table = std::make_shared<EventTable>();
  table->builtinEvents = {"zko_startup",     "zko_login",           "zko_user_import",
                          "zko_user_create", "zko_user_info_update", "zko_level_achieved"};
  table->requiredParams = json::object();
  table->requiredParams["zko_user_import"] = {{"isFirstEnter", "int"}};
  table->requiredParams["zko_user_create"] = {{"nickname", "string"}, {"registerTime", "long"}};
  table->requiredParams["zko_user_info_update"] = {{"nickname", "string"}};
  std::shared_ptr<const EventTable> shared = std::move(table);
  ChangeFacts([&](EventContext& c) { c.table = shared; });
}

void CNimoTrack::Init() {
  try {
    InitEventTable();
    CoreParams params = session_.Params();
    ChangeFacts([&](EventContext& c) {
      EventFacts& f = c.facts;
      f.appId = params.appId;
      if (!params.clientId.empty()) {  // else it comes by SetClientId
        f.deviceId = params.clientId;
        f.fingerId = params.clientId;
      }
      f.platform = params.runPlatform;
      f.gamePlatform = params.gamePlatform;
      f.sdkVersion = params.sdkVer;
      f.sdkType = params.sdkType;
    });
    SyncUserId();
    SyncUserInfo();
    // InitSdk set the Steam app id first. A client id still to come is read
    // next: drafts waiting for their numbers must wait for it too.
    EventSender& sender = Sender();
    if (params.clientId.empty()) sender.ExpectClientId();
    sender.StoreKnown();

    nimo_sys::ScreenSize screen = nimo_sys::PrimaryScreenSize();
    std::string resolution = std::to_string(screen.width) + "x" + std::to_string(screen.height);
    std::optional<int> bias = nimo_sys::LocalBiasMinutes();
    std::string os = GetOsVersionName();
    ChangeFacts([&](EventContext& c) {
      c.facts.resolution = resolution;
      if (bias) c.facts.tz = nimo_sys::UtcOffsetText(*bias);
      c.facts.os = os;
    });
    if (bias) LOG(INFO) << "TimeZone UTC：" << *bias;
    LOG(INFO) << "OS Version：" << os;
  } catch (const std::exception& e) {
    LOG(ERROR) << "Track Init Error:" << e.what();
  } catch (...) {
  }
}

std::string CNimoTrack::GetOsVersionName() { return OrUnknown(nimo_sys::OsVersionName()); }

// ---------------------------------------------------------------- user facts

std::int64_t CNimoTrack::ParseUserId(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return -1;
  // Accumulate toward the negative side, which holds one more value than the positive.
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t acc = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    if (acc < (kMin + digit) / 10) return -1;
    acc = acc * 10 - digit;
  }
  if (negative) return acc;
  if (acc == kMin) return -1;
  return -acc;
}

void CNimoTrack::SetClientId(const std::string& id) {
  ChangeFacts([&](EventContext& c) {
    c.facts.deviceId = id;
    c.facts.fingerId = id;
  });
  Sender().SetClientId(id);
}

void CNimoTrack::SyncUserId() {
  std::int64_t userId = ParseUserId(session_.UserId());
  ChangeFacts([&](EventContext& c) { c.facts.userId = userId; });
}

void CNimoTrack::SyncUserInfo() {
  UserFacts user = session_.User();
  ChangeFacts([&](EventContext& c) {
    c.facts.serverId = OrUnknown(user.serverId);
    c.facts.gameUserId = OrUnknown(user.gameUserId);
    c.facts.nickName = OrUnknown(user.nickName);
    c.facts.level = user.level;
  });
}

std::string CNimoTrack::OrUnknown(const std::string& s) { return s.empty() ? kUnknown : s; }

// ---------------------------------------------------------------- validation

std::string CNimoTrack::ResolveEventName(const std::string& name) const {
  return NimoSdk::ResolveEventName(Context()->table.get(), name);
}

void CNimoTrack::CheckEventAndParams(const std::string& name, std::string params) const {
  try {
    std::shared_ptr<const EventContext> context = Context();
    if (context->table && context->table->requiredParams.contains(name))
      LogRequiredParamFindings(*context->table, name, params, ParseEventParams(params));
  } catch (...) {
  }
}

// ---------------------------------------------------------------- posting

PostedEvent CNimoTrack::Capture(const std::string& name, const std::string& params, double value,
                                std::int64_t sdkTime) const {
  PostedEvent event{Context(), name, params, value, sdkTime};
  LogEventFindings(event.context->table.get(), name, params);
  return event;
}

std::string CNimoTrack::Draft(const std::string& name, const std::string& params, double value) {
  return DraftEvent(Capture(name, params, value, NowMs()));
}

void CNimoTrack::PostEvent(const std::string& name, const std::string& params, double value) {
  try {
    const std::int64_t sdkTime = NowMs();
    if (!hold_.Idle() && hold_.Keep(EventHold::Held{name, params, value, sdkTime, 0})) return;
    Send(name, params, value, sdkTime);
  } catch (const std::exception& e) {
    LOG(ERROR) << "Post Event Failed:" << e.what();
  } catch (...) {
  }
}

void CNimoTrack::Send(const std::string& name, const std::string& params, double value, std::int64_t sdkTime) {
  try {
    Sender().Post(Capture(name, params, value, sdkTime));
  } catch (const std::exception& e) {
    LOG(ERROR) << "Post Event Failed:" << e.what();
  } catch (...) {
  }
}

void CNimoTrack::PostStartupEvent() { Send("zko_startup", "", std::numeric_limits<double>::quiet_NaN(), NowMs()); }

void CNimoTrack::ReleaseEvents() {
  try {
    hold_.Release([this](const EventHold::Held& e) { Send(e.name, e.params, e.value, e.sdkTime); });
  } catch (...) {
  }
}

void CNimoTrack::Shutdown(std::chrono::steady_clock::time_point deadline) { Sender().Shutdown(deadline); }

EventSender& CNimoTrack::Sender() {
  nimo_sync::MutexLock lock(mutex_);
  return *sender_;
}

void CNimoTrack::BeginSession() {
  EventSender& old = Sender();
  auto fresh = std::make_unique<EventSender>(transport_, files_);
  fresh->SetSettings(old.GetSettings());
  const std::string clientId = DeviceId();
  if (!clientId.empty()) fresh->SetClientId(clientId);
  nimo_sync::MutexLock lock(mutex_);
  retired_.push_back(std::move(sender_));
  sender_ = std::move(fresh);
}

void CNimoTrack::PostLoginEvent(std::string loginPlatform, std::string puserId) {
  try {
    json params = json::object();
    params["loginPlatform"] = std::move(loginPlatform);
    params["puserId"] = std::move(puserId);
    PostEvent("zko_login", CompactJson(params), std::numeric_limits<double>::quiet_NaN());
  } catch (...) {
  }
}

}  // namespace NimoSdk
