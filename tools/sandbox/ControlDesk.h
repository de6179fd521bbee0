// The sandbox's settings seen from outside: the answer of GET /_control and
// the commands of POST /_control (faults, player, test device, clearing).
// Safe from any thread; a command takes effect for the next request.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "tools/sandbox/Faults.h"
#include "tools/sandbox/Settings.h"
#include "tools/sandbox/SteamSide.h"
#include "tools/sandbox/Store.h"

namespace nimo_sandbox {

class ControlDesk {
 public:
  // All of them outlive the desk; stateDir is final once the sandbox has started.
  ControlDesk(FaultTable& faults, Store& store, SteamSide& steam, Settings& settings, const std::string& stateDir)
      : faults(faults), store(store), steam(steam), settings(settings), stateDir(stateDir) {}

  // A command object; answers {"code":200,"settings":...} or {"code":400,"msg":why}
  // and then has changed nothing.
  nlohmann::json Control(const nlohmann::json& command);
  nlohmann::json State() const;
  nlohmann::json SettingsJson() const;

 private:
  FaultTable& faults;
  Store& store;
  SteamSide& steam;
  Settings& settings;
  const std::string& stateDir;
};

}  // namespace nimo_sandbox
