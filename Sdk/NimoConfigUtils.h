// The two small JSON documents the SDK keeps on disk: SharedConf (client id, for
// every game of the user account) and, per game, AppConf (event counter,
// attribution flag).
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace NimoSdk {

class NimoConfigUtils {
 public:
  using json = nlohmann::json;

  static std::string GetDataFolder();
  static std::string GetAppConfigPath();
  static std::string GetSharedConfigPath();

  // The document, or its defaults when missing or unreadable.
  static json ReadConfigJson(bool shared);
  // Replaces the file's content (atomically: a failed write leaves the old file).
  static void WriteCofnigJson(json config, bool shared);

  // One read, change, write cycle, atomic towards other threads and processes.
  // change receives an object (the defaults when the file is unusable) and may
  // modify it. Returns the document as written.
  static json Update(bool shared, const std::function<void(json&)>& change);

  static json DefaultAppConfig();
  static json DefaultSharedConfig();
};

}  // namespace NimoSdk
