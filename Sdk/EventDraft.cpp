#include "Sdk/EventDraft.h"

#include <cmath>

#include "Sdk/JsonFields.h"

namespace NimoSdk {
namespace {

constexpr const char* kCustomPrefix = "zko_self_";
constexpr std::size_t kCustomPrefixLen = 9;

}  // namespace

std::string CompactJson(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json ParseEventParams(const std::string& text) {
  if (NestsDeeperThan(text, kMaxParamDepth)) return nlohmann::json(nlohmann::json::value_t::discarded);
  return nlohmann::json::parse(text, nullptr, false);
}

std::string ResolveEventName(const EventTable* table, const std::string& name) {
  if (table != nullptr && table->builtinEvents.count(name) != 0) return name;
  if (name.size() > kCustomPrefixLen && name.compare(0, kCustomPrefixLen, kCustomPrefix) == 0) return name;
  return kCustomPrefix + name;
}

std::size_t PostedEvent::Bytes() const {
  const EventFacts& f = context->facts;
  return name.size() + params.size() + 256 + f.deviceId.size() + f.appId.size() + f.platform.size() +
         f.gamePlatform.size() + f.fingerId.size() + f.serverId.size() + f.gameUserId.size() + f.sdkVersion.size() +
         f.sdkType.size() + f.nickName.size() + f.tz.size() + f.os.size() + f.resolution.size();
}

std::string DraftEvent(const PostedEvent& event) {
  using json = nlohmann::json;
  const EventFacts& facts = event.context->facts;
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
  payload["sdkTime"] = event.sdkTime;
  // Every call, valid or not, takes a number; the tracker thread puts it here.
  payload["eventOrder"] = "";
  payload["event"] = ResolveEventName(event.context->table.get(), event.name);
  if (!std::isnan(event.value)) payload["value"] = event.value;

  json context = json::object();
  context["os"] = facts.os;
  context["resolution"] = facts.resolution;
  context["tz"] = facts.tz;
  if (event.name == "zko_user_create" || event.name == "zko_level_achieved") context["level"] = facts.level;
  if (!event.params.empty()) {
    json parsed = ParseEventParams(event.params);
    if (parsed.is_object()) {
      for (auto it = parsed.begin(); it != parsed.end(); ++it) context[it.key()] = std::move(it.value());  // the game's member replaces ours
    }
  }
  payload["context"] = std::move(context);
  return CompactJson(payload);
}

}  // namespace NimoSdk
