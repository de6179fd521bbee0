#include "Sdk/NimoConfigUtils.h"

namespace NimoSdk {

std::string NimoConfigUtils::GetDataFolder() { return {}; }
std::string NimoConfigUtils::GetAppConfigPath() { return {}; }
std::string NimoConfigUtils::GetSharedConfigPath() { return {}; }
NimoConfigUtils::json NimoConfigUtils::ReadConfigJson(bool shared) {
  return shared ? DefaultSharedConfig() : DefaultAppConfig();
}
void NimoConfigUtils::WriteCofnigJson(json, bool) {}
NimoConfigUtils::json NimoConfigUtils::Update(bool shared, const std::function<void(json&)>& change) {
  json j = ReadConfigJson(shared);
  change(j);
  return j;
}
NimoConfigUtils::json NimoConfigUtils::DefaultAppConfig() {
  json j = json::object();
  j["EventOrder"] = 0;
  j["AttributionFlag"] = 0;
  return j;
}
NimoConfigUtils::json NimoConfigUtils::DefaultSharedConfig() { return json{{"ClientId", ""}}; }

}  // namespace NimoSdk
