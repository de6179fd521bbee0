#include "tools/sandbox/ControlDesk.h"

#include <optional>
#include <utility>
#include <vector>

#include "tools/sandbox/Api.h"

namespace nimo_sandbox {
namespace {

using json = nlohmann::json;

}  // namespace

json ControlDesk::SettingsJson() const {
  Settings::Values now = settings.Get();
  return {{"faults", faults.ToJson()}, {"player", now.player.ToJson()}, {"testDevice", now.testDevice}};
}

json ControlDesk::Control(const json& command) {
  auto bad = [](const std::string& msg) { return json{{"code", 400}, {"msg", msg}}; };
  // Check everything first, so a bad command changes nothing.
  std::vector<std::pair<Endpoint, Fault>> newFaults;
  if (command.contains("faults")) {
    if (!command["faults"].is_object()) return bad("\"faults\" must map endpoint names to faults");
    for (const auto& [name, spec] : command["faults"].items()) {
      Fault fault;
      std::string error;
      if (!FaultFromJson(spec, &fault, &error)) return bad(name + ": " + error);
      const std::vector<Endpoint> named = EndpointsNamed(name);
      if (named.empty()) return bad("unknown endpoint '" + name + "'");
      for (Endpoint e : named) newFaults.emplace_back(e, fault);
    }
  }
  std::optional<PlayerSettings> newPlayer;
  if (command.contains("player")) {
    PlayerSettings p = settings.Get().player;
    const json& j = command["player"];
    if (j.is_string()) {
      if (!PlayerModeFromName(j.get<std::string>(), &p.mode)) return bad("player is approve, decline or never");
    } else if (j.is_object()) {
      if (j.contains("mode") && (!j["mode"].is_string() || !PlayerModeFromName(j["mode"].get<std::string>(), &p.mode))) {
        return bad("player mode is approve, decline or never");
      }
      if (j.contains("delayMs")) {
        if (!j["delayMs"].is_number_integer() || j["delayMs"].get<long long>() < 0 ||
            j["delayMs"].get<long long>() > 600000) {
          return bad("player delayMs must be 0 to 600000");
        }
        p.delayMs = j["delayMs"].get<int>();
      }
      if (j.contains("steamFirst")) {
        if (!j["steamFirst"].is_boolean()) return bad("player steamFirst must be true or false");
        p.steamFirst = j["steamFirst"].get<bool>();
      }
      if (j.contains("products")) {
        if (!j["products"].is_object()) return bad("player products must map product ids to modes");
        p.perProduct.clear();
        for (const auto& [id, m] : j["products"].items()) {
          PlayerMode pm;
          if (!m.is_string() || !PlayerModeFromName(m.get<std::string>(), &pm)) {
            return bad("player mode for " + id + " is approve, decline or never");
          }
          p.perProduct[id] = pm;
        }
      }
    } else {
      return bad("\"player\" must be a mode or an object");
    }
    newPlayer = p;
  }
  if (command.contains("testDevice") && !command["testDevice"].is_boolean()) return bad("testDevice must be true or false");
  if (command.contains("clearState") && !command["clearState"].is_boolean()) return bad("clearState must be true or false");
  if (command.contains("clearFaults") && command["clearFaults"] == true) faults.ClearAll();
  if (command.contains("clearState") && command["clearState"] == true) store.Clear();
  for (auto& [e, f] : newFaults) faults.Set(e, f);
  settings.Change([&](Settings::Values& v) {
    if (newPlayer) v.player = *newPlayer;
    if (command.contains("testDevice")) v.testDevice = command["testDevice"].get<bool>();
  });
  json a = Success();
  a["settings"] = SettingsJson();
  return a;
}

json ControlDesk::State() const {
  json ids = json::array();
  for (auto id : steam.ConnectedSteamIds()) ids.push_back(std::to_string(id));
  json a = Success();
  a["settings"] = SettingsJson();
  a["counters"] = store.Counters();
  a["steam"] = {{"bridge", "127.0.0.1:" + std::to_string(steam.Port())},
                {"connected", ids},
                {"delivered", steam.Delivered()},
                {"waiting", steam.Waiting()}};
  a["stateDir"] = stateDir;
  return a;
}

}  // namespace nimo_sandbox
