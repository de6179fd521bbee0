#include "Sdk/NimoConfigUtils.h"

#include <easylogging++.h>

#include <atomic>
#include <iostream>
#include <limits>

#include "Sdk/JsonFields.h"
#include "platform/steam/steam_api.h"
#include "platform/sync/Mutex.h"
#include "platform/sys/DataFolder.h"
#include "platform/sys/FileLock.h"
#include "platform/sys/FileSystem.h"

namespace NimoSdk {
namespace {

using json = nlohmann::json;

// One per file; never destroyed, since HTTP workers may use the store late.
nimo_sync::Mutex& FileMutex(bool shared) {
  static nimo_sync::Mutex* const sharedMutex = new nimo_sync::Mutex();
  static nimo_sync::Mutex* const appMutex = new nimo_sync::Mutex();
  return shared ? *sharedMutex : *appMutex;
}

std::atomic<nimo_sys::FileSystem*>& Files() {
  static std::atomic<nimo_sys::FileSystem*> files{&nimo_sys::RealFileSystem()};
  return files;
}

std::function<std::string()>& RecordedAppId() {
  static std::function<std::string()>* const source = new std::function<std::string()>();
  return *source;
}

// Before Steam is up (or after it went down) the id the session recorded at Init.
std::string SteamAppIdText() {
  if (ISteamUtils* utils = SteamUtils()) return std::to_string(utils->GetAppID());
  std::string id = RecordedAppId() ? RecordedAppId()() : std::string();
  if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) return "0";
  return id;
}

std::string ConfigPath(bool shared) {
  return shared ? NimoConfigUtils::GetSharedConfigPath() : NimoConfigUtils::GetAppConfigPath();
}

json Defaults(bool shared) {
  return shared ? NimoConfigUtils::DefaultSharedConfig() : NimoConfigUtils::DefaultAppConfig();
}

// The documents hold three keys; anything near this size was not written by us.
constexpr std::size_t kMaxConfigBytes = 64u * 1024u;

// Discarded when the file cannot be read, is too large or too deep, or is not valid JSON.
json ReadDocument(const std::string& path) {
  std::string text;
  if (!Files().load()->Read(path, text, kMaxConfigBytes) || !JsonLimitExceeded(text).empty()) {
    return json(json::value_t::discarded);
  }
  return json::parse(text, nullptr, false);
}

// Both go to the disk before the call returns. SharedConf holds the machine's
// identity. AppConf holds the last event number handed out, the only record of
// it once the queue file dropped the delivered events: a cut that undid it
// would give numbers twice. It is written once per batch of events, on the
// tracker thread, which syncs the queue file for the same batch anyway.
bool WriteDocument(const std::string& path, const json& doc) {
  // replace: a string that is not UTF-8 must not make the write throw.
  const std::string text = doc.dump(-1, ' ', false, json::error_handler_t::replace);
  if (!nimo_sys::ReplaceFileContent(*Files().load(), path, text, nimo_sys::Durability::kDisk)) return false;
  LOG(INFO) << "Write Config Json Success. " << text;
  return true;
}

}  // namespace

void NimoConfigUtils::UseFileSystem(nimo_sys::FileSystem& fs) { Files() = &fs; }

void NimoConfigUtils::UseRecordedAppId(std::function<std::string()> source) { RecordedAppId() = std::move(source); }

std::string NimoConfigUtils::FallbackFolder() { return nimo_sys::FallbackDataFolder(); }

std::string NimoConfigUtils::GetDataFolder() {
  const std::string base = nimo_sys::LocalAppDataFolder();
  if (base.empty()) {
    std::cout << "无法获取AppData\\Local路径" << std::endl;
    return FallbackFolder();
  }
  const std::string folder = base + "/NimoSteamExeSdk";
  if (!nimo_sys::IsDirectory(folder) && !nimo_sys::MakeDirectories(folder)) {
    std::cout << "无法创建文件夹" << std::endl;
    return FallbackFolder();
  }
  return folder;
}

std::string NimoConfigUtils::GetAppConfigPath() {
  const std::string base = GetDataFolder();
  std::string dir = base + "/" + SteamAppIdText();
  // Only the last component: the fallback folder itself is never created.
  if (!nimo_sys::IsDirectory(dir) && !nimo_sys::MakeDirectory(dir)) {
    LOG(ERROR) << "Cant Create Path:" << dir << ", Be Default:" << base;
    dir = base;
  }
  return dir + "/AppConf";
}

std::string NimoConfigUtils::GetSharedConfigPath() { return GetDataFolder() + "/SharedConf"; }

NimoConfigUtils::json NimoConfigUtils::ReadConfigJson(bool shared) {
  json doc = ReadDocument(ConfigPath(shared));
  return doc.is_discarded() ? Defaults(shared) : doc;
}

void NimoConfigUtils::WriteCofnigJson(json config, bool shared) {
  WriteDocument(ConfigPath(shared), config);
}

NimoConfigUtils::json NimoConfigUtils::Update(bool shared, const std::function<void(json&)>& change) {
  const std::string path = ConfigPath(shared);
  // Threads of this process queue on the mutex; processes on the lock file.
  nimo_sync::MutexLock lock(FileMutex(shared));
  nimo_sys::FileLock fileLock(path + ".lock");
  json doc = ReadDocument(path);
  if (!doc.is_object()) doc = Defaults(shared);
  const json before = doc;
  if (change) change(doc);
  if (doc != before) WriteDocument(path, doc);
  return doc;
}

std::int64_t NimoConfigUtils::IntOr(const json& doc, const char* key, std::int64_t fallback) {
  if (!doc.is_object()) return fallback;
  auto it = doc.find(key);
  if (it == doc.end()) return fallback;
  if (it->is_number_unsigned()) {
    auto v = it->get<std::uint64_t>();
    return v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ? fallback
                                                                                     : static_cast<std::int64_t>(v);
  }
  return it->is_number_integer() ? it->get<std::int64_t>() : fallback;
}

std::string NimoConfigUtils::StringOr(const json& doc, const char* key, const std::string& fallback) {
  if (!doc.is_object()) return fallback;
  auto it = doc.find(key);
  return (it != doc.end() && it->is_string()) ? it->get<std::string>() : fallback;
}

NimoConfigUtils::json NimoConfigUtils::DefaultAppConfig() {
  json j = json::object();
  j["EventOrder"] = 0;
  j["AttributionFlag"] = 0;
  return j;
}

NimoConfigUtils::json NimoConfigUtils::DefaultSharedConfig() { return json{{"ClientId", ""}}; }

}  // namespace NimoSdk
