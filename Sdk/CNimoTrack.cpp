#include "Sdk/CNimoTrack.h"

#include <easylogging++.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <optional>

#include "Sdk/EventQueue.h"
#include "Sdk/JsonFields.h"
#include "Sdk/NimoConfigUtils.h"
#include "platform/sys/OsInfo.h"
#include "platform/sys/Screen.h"
#include "platform/sys/TimeZone.h"

namespace NimoSdk {
namespace {

constexpr const char* kUnknown = "_unknown";
constexpr const char* kCustomPrefix = "zko_self_";
constexpr std::size_t kCustomPrefixLen = 9;

std::int64_t NowMs() {
  return static_cast<std::int64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

// Texts we build are compact; bytes that are not UTF-8 (an event name can be
// anything) become U+FFFD instead of making the serialiser throw.
std::string Compact(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The value rule of each required parameter, by parameter name.
bool ParamValueOk(const std::string& param, const nlohmann::json& value) {
  if (param == "isFirstEnter") {
    if (value.is_number_unsigned()) return value.get<std::uint64_t>() <= 1;
    if (value.is_number_integer()) {
      auto v = value.get<std::int64_t>();
      return v == 0 || v == 1;
    }
    return false;
  }
  if (param == "nickname") return value.is_string() && !value.get_ref<const std::string&>().empty();
  if (param == "registerTime") return value.is_number() && Compact(value).size() == 13;  // a millisecond time stamp
  return true;
}

}  // namespace

// ---------------------------------------------------------------- start-up

void CNimoTrack::InitEventTable() {
  auto table = std::make_shared<EventTable>();
  table->builtinEvents = {"zko_startup",     "zko_login",           "zko_user_import",
                          "zko_user_create", "zko_user_info_update", "zko_level_achieved"};
  table->requiredParams = json::object();
  table->requiredParams["zko_user_import"] = {{"isFirstEnter", "int"}};
  table->requiredParams["zko_user_create"] = {{"nickname", "string"}, {"registerTime", "long"}};
  table->requiredParams["zko_user_info_update"] = {{"nickname", "string"}};
  nimo_sync::MutexLock lock(mutex_);
  table_ = std::move(table);
}

CNimoTrack::CNimoTrack(const SessionFacts& session, EventDispatcher::Transport transport, nimo_sys::FileSystem& files)
    : session_(session),
      transport_(std::move(transport)),
      files_(files),
      sender_(std::make_unique<EventSender>(transport_, files_)) {}

void CNimoTrack::Init() {
  try {
    InitEventTable();
    CoreParams params = session_.Params();
    {
      nimo_sync::MutexLock lock(mutex_);
      facts_.appId = params.appId;
      if (!params.clientId.empty()) {  // else it comes by SetClientId
        facts_.deviceId = params.clientId;
        facts_.fingerId = params.clientId;
      }
      facts_.platform = params.runPlatform;
      facts_.gamePlatform = params.gamePlatform;
      facts_.sdkVersion = params.sdkVer;
      facts_.sdkType = params.sdkType;
    }
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
    {
      nimo_sync::MutexLock lock(mutex_);
      facts_.resolution = resolution;
      if (bias) facts_.tz = nimo_sys::UtcOffsetText(*bias);
      facts_.os = os;
    }
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
  {
    nimo_sync::MutexLock lock(mutex_);
    facts_.deviceId = id;
    facts_.fingerId = id;
  }
  Sender().SetClientId(id);
}

void CNimoTrack::SyncUserId() {
  std::int64_t userId = ParseUserId(session_.UserId());
  nimo_sync::MutexLock lock(mutex_);
  facts_.userId = userId;
}

void CNimoTrack::SyncUserInfo() {
  UserFacts user = session_.User();
  nimo_sync::MutexLock lock(mutex_);
  facts_.serverId = OrUnknown(user.serverId);
  facts_.gameUserId = OrUnknown(user.gameUserId);
  facts_.nickName = OrUnknown(user.nickName);
  facts_.level = user.level;
}

std::string CNimoTrack::OrUnknown(const std::string& s) { return s.empty() ? kUnknown : s; }

CNimoTrack::Facts CNimoTrack::Snapshot() const {
  nimo_sync::MutexLock lock(mutex_);
  return facts_;
}

std::string CNimoTrack::DeviceId() const {
  nimo_sync::MutexLock lock(mutex_);
  return facts_.deviceId;
}

std::string CNimoTrack::Resolution() const {
  nimo_sync::MutexLock lock(mutex_);
  return facts_.resolution;
}

std::shared_ptr<const CNimoTrack::EventTable> CNimoTrack::Table() const {
  nimo_sync::MutexLock lock(mutex_);
  return table_;
}

// ---------------------------------------------------------------- validation

bool CNimoTrack::MatchName(const std::string& text) {
  // Same as the whole-text match of ^[a-zA-Z0-9_]+$, without std::regex, whose
  // matcher recurses per character and would overflow the stack on long names.
  if (text.empty()) return false;
  for (unsigned char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string CNimoTrack::ResolveEventName(const std::string& name) const {
  std::shared_ptr<const EventTable> table = Table();
  if (table && table->builtinEvents.count(name) != 0) return name;
  if (name.size() > kCustomPrefixLen && name.compare(0, kCustomPrefixLen, kCustomPrefix) == 0) return name;
  return kCustomPrefix + name;
}

CNimoTrack::json CNimoTrack::ParseParams(const std::string& text) {
  if (NestsDeeperThan(text, kMaxParamDepth)) return json(json::value_t::discarded);
  return json::parse(text, nullptr, false);
}

void CNimoTrack::CheckEventAndParams(const std::string& name, std::string params) const {
  try {
    std::shared_ptr<const EventTable> table = Table();
    if (!table || !table->requiredParams.contains(name)) return;
    CheckParams(*table, name, params, ParseParams(params));
  } catch (...) {
  }
}

void CNimoTrack::CheckParams(const EventTable& table, const std::string& name, const std::string& params,
                             const json& parsed) {
  auto entry = table.requiredParams.find(name);
  if (entry == table.requiredParams.end()) return;
  LOG(INFO) << "Star Check Event Name:" << name << ",Params:" << params;
  if (parsed.is_discarded()) {
    LOG(ERROR) << "Event Check Param Error, Params Not Json:" << params;
    return;
  }
  for (auto it = entry->begin(); it != entry->end(); ++it) {
    const std::string& param = it.key();
    auto member = parsed.is_object() ? parsed.find(param) : parsed.end();
    if (!parsed.is_object() || member == parsed.end()) {
      LOG(ERROR) << "Check Event Error, Not Contain Musted Param, Name:" << param;
      continue;
    }
    if (!ParamValueOk(param, *member)) {
      LOG(ERROR) << "Check Event Error, Param Value Incorrect, Name:" << param << ", Value:" << Compact(*member);
    }
  }
}

// ---------------------------------------------------------------- posting

std::string CNimoTrack::Draft(const std::string& name, const std::string& params, double value) {
  return DraftAt(NowMs(), name, params, value);
}

std::string CNimoTrack::DraftAt(std::int64_t sdkTime, const std::string& name, const std::string& params,
                                double value) {
  Facts facts = Snapshot();
  std::shared_ptr<const EventTable> table = Table();

  json payload = json::object();
  payload["appId"] = facts.appId;
  payload["deviceId"] = facts.deviceId;
  payload["fingerId"] = facts.fingerId;
  payload["platform"] = facts.platform;
  payload["gamePlatform"] = facts.gamePlatform;
  payload["userId"] = facts.userId;
  payload["serverId"] = facts.serverId;
  payload["gameUserId"] = facts.gameUserId;
  payload["sdkVersion"] = facts.sdkVersion;
  payload["sdkType"] = facts.sdkType;
  payload["sdkTime"] = sdkTime;
  // Every call, valid or not, takes a number; the tracker thread puts it here.
  payload["eventOrder"] = "";
  payload["event"] = ResolveEventName(name);
  if (!std::isnan(value)) payload["value"] = value;

  if (!MatchName(name)) LOG(ERROR) << "Post Event Name Error:" << name;

  json context = json::object();
  context["os"] = facts.os;
  context["resolution"] = facts.resolution;
  context["tz"] = facts.tz;
  if (name == "zko_user_create" || name == "zko_level_achieved") context["level"] = facts.level;

  json parsed = ParseParams(params);
  if (!params.empty()) {
    if (parsed.is_object()) {
      for (auto it = parsed.begin(); it != parsed.end(); ++it) {
        context[it.key()] = it.value();  // the game's own member replaces ours
        if (!MatchName(it.key())) LOG(ERROR) << "Post Event Param Error:" << it.key();
      }
    } else if (!parsed.is_null()) {
      // Not JSON, or JSON that is not an object: nothing of it can become a member.
      LOG(ERROR) << "Post Event Param Error, Not Valid JSON:" << params;
    }
  }
  payload["context"] = std::move(context);

  if (table) CheckParams(*table, name, params, parsed);
  return Compact(payload);
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
    std::string draft = DraftAt(sdkTime, name, params, value);
    Sender().Post(std::move(draft));
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
  std::string clientId;
  {
    nimo_sync::MutexLock lock(mutex_);
    clientId = facts_.deviceId;
  }
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
    PostEvent("zko_login", Compact(params), std::numeric_limits<double>::quiet_NaN());
  } catch (...) {
  }
}

}  // namespace NimoSdk
