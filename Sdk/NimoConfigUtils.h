// The two small JSON documents the SDK keeps on disk: SharedConf (client id, for
// every game of the user account) and, per game, AppConf (event counter,
// attribution flag).
//
// Nothing is cached: every call resolves the data folder ($XDG_DATA_HOME, else
// $HOME/.local/share, + "/NimoSteamExeSdk") and the Steam application id anew.
// Files are written whole, compact, by a rename of a temporary (never torn),
// data and name on the disk before the write returns.
// Safe from any thread; nothing here throws except what a change callback throws.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/sys/FileSystem.h"

namespace NimoSdk {

class NimoConfigUtils {
 public:
  using json = nlohmann::json;

  // Used when no data folder can be had. Never created by the SDK: only an
  // administrator can provide it, so without it nothing is stored.
  static std::string FallbackFolder();

  // With Steam down, the app id of the game's folder is asked here (once set,
  // at library load, before any thread of ours runs).
  static void UseRecordedAppId(std::function<std::string()> source);
  // The files are read and written through fs (the system's until set; set at
  // library load, before any thread of ours runs; fs lives for the process).
  // The store is static, reached from every layer, so it takes one instance
  // rather than one per constructor.
  static void UseFileSystem(nimo_sys::FileSystem& fs);

  static std::string GetDataFolder();
  static std::string GetAppConfigPath();
  static std::string GetSharedConfigPath();

  // The parsed document whatever its JSON type, or the defaults when the file is
  // missing, unreadable or not valid JSON.
  static json ReadConfigJson(bool shared);
  // Replaces the file's content; a failed write is silent and leaves the old file.
  static void WriteCofnigJson(json config, bool shared);

  // One read, change, write cycle, atomic towards the other threads of the
  // process and the other processes of the user account. change receives an
  // object: the file's, or the defaults when the file is missing, unreadable or
  // not an object. Keys of another type than expected are left as they are: read
  // them with IntOr / StringOr, which give the defaults for them. The file is
  // written only when change altered the document; unknown keys survive. Returns
  // the document after change, also when the write failed. change must not call
  // this store or the game. If it throws, nothing is written and it propagates.
  static json Update(bool shared, const std::function<void(json&)>& change);

  // doc[key] when doc is an object holding an integer (IntOr) or a string
  // (StringOr) there, else fallback: a missing or wrong-typed "EventOrder",
  // "AttributionFlag" or "ClientId" reads as its default.
  static std::int64_t IntOr(const json& doc, const char* key, std::int64_t fallback);
  static std::string StringOr(const json& doc, const char* key, const std::string& fallback);

  static json DefaultAppConfig();
  static json DefaultSharedConfig();
};

}  // namespace NimoSdk
