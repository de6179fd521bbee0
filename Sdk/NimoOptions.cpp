#include "Sdk/NimoOptions.h"

#include <easylogging++.h>

#include "Sdk/CNimoApi.h"
#include "http/Settings.h"
#include "http/TlsContext.h"
#include "platform/sys/Environment.h"

namespace NimoSdk {
namespace {

constexpr std::size_t kMaxUrl = 2048;
constexpr std::size_t kMaxPath = 4096;

struct Definition {
  const char* name;
  const char* env;  // null: the game alone sets it
};

// In the order of CNimoOptions::Key.
constexpr Definition kDefinitions[CNimoOptions::kKeyCount] = {
    {"api_base_url", "NIMOSDK_API_BASE_URL"},
    {"track_url", "NIMOSDK_TRACK_URL"},
    {"ca_file", "NIMOSDK_CA_FILE"},
    {"ca_only", nullptr},
    {"connect_timeout_ms", "NIMOSDK_CONNECT_TIMEOUT_MS"},
    {"io_timeout_ms", "NIMOSDK_IO_TIMEOUT_MS"},
    {"request_timeout_ms", "NIMOSDK_REQUEST_TIMEOUT_MS"},
    {"environment", nullptr},
};

int KeyOf(const std::string& name) {
  for (int k = 0; k < CNimoOptions::kKeyCount; ++k) {
    if (name == kDefinitions[k].name) return k;
  }
  return -1;
}

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_';
}

// http(s)://host[:port][/path]: what the transport can reach, nothing it would
// read differently (no credentials, no blanks or control characters).
bool IsServerUrl(const std::string& url) {
  if (url.size() > kMaxUrl) return false;
  std::size_t p = url.rfind("https://", 0) == 0 ? 8 : url.rfind("http://", 0) == 0 ? 7 : 0;
  if (p == 0) return false;
  const std::size_t hostStart = p;
  while (p < url.size() && IsHostChar(url[p])) ++p;
  if (p == hostStart) return false;
  if (p < url.size() && url[p] == ':') {
    const std::size_t portStart = ++p;
    long port = 0;
    while (p < url.size() && url[p] >= '0' && url[p] <= '9' && p - portStart < 5) port = port * 10 + (url[p++] - '0');
    if (p == portStart || port < 1 || port > 65535) return false;
  }
  if (p < url.size() && url[p] != '/') return false;
  for (; p < url.size(); ++p) {
    const unsigned char c = static_cast<unsigned char>(url[p]);
    if (c <= 0x20 || c == 0x7f) return false;
  }
  return true;
}

// The value as it will be used, or nullopt when it is not acceptable. checkFile:
// the CA file is read (the game's own setting, answered at once).
std::optional<std::string> Normalised(int key, std::string value, bool checkFile) {
  switch (key) {
    case CNimoOptions::kApiBaseUrl:
      while (value.size() > 8 && value.back() == '/') value.pop_back();  // the paths bring their own
      [[fallthrough]];
    case CNimoOptions::kTrackUrl:
      if (!IsServerUrl(value)) return std::nullopt;
      return value;
    case CNimoOptions::kCaFile:
      if (value.size() > kMaxPath) return std::nullopt;
      if (checkFile && !sion::TlsContext::CheckCaFile(value, nullptr)) return std::nullopt;
      return value;
    case CNimoOptions::kCaOnly:
      if (value != "0" && value != "1") return std::nullopt;
      return value;
    case CNimoOptions::kConnectTimeout:
    case CNimoOptions::kIoTimeout:
    case CNimoOptions::kRequestTimeout: {
      int ms = 0;
      if (!sion::ParseTimeoutMs(value, &ms)) return std::nullopt;
      return std::to_string(ms);
    }
    case CNimoOptions::kEnvironment:
      if (value != "use" && value != "ignore") return std::nullopt;
      return value;
    default:
      return std::nullopt;
  }
}

std::string Default(const CNimoApi& api, int key) {
  const sion::Timeouts builtIn;
  switch (key) {
    case CNimoOptions::kApiBaseUrl:
      return api.DefaultBaseUrl();
    case CNimoOptions::kTrackUrl:
      return api.DefaultTrackUrl();
    case CNimoOptions::kCaOnly:
      return "0";
    case CNimoOptions::kConnectTimeout:
      return std::to_string(builtIn.connectMs);
    case CNimoOptions::kIoTimeout:
      return std::to_string(builtIn.ioMs);
    case CNimoOptions::kRequestTimeout:
      return std::to_string(builtIn.requestMs);
    case CNimoOptions::kEnvironment:
      return "use";
    default:
      return {};
  }
}

// For the log: a query may carry a key, so it stays out.
std::string Loggable(int key, const std::string& value) {
  if (key != CNimoOptions::kApiBaseUrl && key != CNimoOptions::kTrackUrl) return value;
  return value.substr(0, value.find_first_of("?#"));
}

}  // namespace

SetOptionResult CNimoOptions::Set(const std::string& name, const std::string& value) {
  const int key = KeyOf(name);
  if (key < 0) return SetOptionResult::Invalid;
  std::optional<std::string> normalised;
  if (!value.empty()) {
    normalised = Normalised(key, value, true);
    if (!normalised) return SetOptionResult::Invalid;
  }
  nimo_sync::MutexLock lock(mutex_);
  if (frozen_) return SetOptionResult::TooLate;
  game_[static_cast<std::size_t>(key)] = std::move(normalised);
  return SetOptionResult::Ok;
}

bool CNimoOptions::Get(const std::string& name, std::string* value) const {
  const int key = KeyOf(name);
  if (key < 0) return false;
  {
    nimo_sync::MutexLock lock(mutex_);
    if (frozen_) {
      *value = inForce_[static_cast<std::size_t>(key)];
      return true;
    }
  }
  *value = Resolve(nullptr)[static_cast<std::size_t>(key)];
  return true;
}

CNimoOptions::Values CNimoOptions::Resolve(Values* sources) const {
  std::array<std::optional<std::string>, kKeyCount> game;
  {
    nimo_sync::MutexLock lock(mutex_);
    game = game_;
  }
  const bool useEnv = game[kEnvironment].value_or("use") == "use";
  Values out;
  for (int k = 0; k < kKeyCount; ++k) {
    const auto i = static_cast<std::size_t>(k);
    std::string source = "default";
    std::string env;
    std::optional<std::string> fromEnv;
    // The environment is anyone's who starts the game: checked as the game's
    // settings are, but an unreadable CA file is left for the connection to report.
    if (useEnv && kDefinitions[k].env != nullptr && nimo_sys::ReadEnvironment(kDefinitions[k].env, &env) &&
        !env.empty()) {
      fromEnv = Normalised(k, env, false);
      if (!fromEnv) source = std::string("default; ") + kDefinitions[k].env + " unusable, ignored";
    }
    if (game[i]) {
      out[i] = *game[i];
      source = "game";
    } else if (fromEnv) {
      out[i] = *fromEnv;
      source = "environment";
    } else {
      out[i] = Default(api_, k);  // source says so already
    }
    if (sources != nullptr) (*sources)[i] = source;
  }
  return out;
}

void CNimoOptions::Freeze() {
  {
    nimo_sync::MutexLock lock(mutex_);
    if (frozen_) return;
  }
  Values sources;
  const Values v = Resolve(&sources);
  {
    nimo_sync::MutexLock lock(mutex_);
    if (frozen_) return;  // another Init got here first
    inForce_ = v;
    sources_ = sources;
    frozen_ = true;
  }
  api_.ApplyUrls(v[kApiBaseUrl], v[kTrackUrl]);
  sion::Timeouts t;
  sion::ParseTimeoutMs(v[kConnectTimeout], &t.connectMs);
  sion::ParseTimeoutMs(v[kIoTimeout], &t.ioMs);
  sion::ParseTimeoutMs(v[kRequestTimeout], &t.requestMs);
  sion::SetTimeouts(t);
  sion::TlsContext::Configure({v[kCaFile], v[kCaOnly] == "1"});
}

void CNimoOptions::LogInForce() const {
  std::string text;
  {
    nimo_sync::MutexLock lock(mutex_);
    if (!frozen_) return;
    for (int k = 0; k < kKeyCount; ++k) {
      const auto i = static_cast<std::size_t>(k);
      text += std::string(k == 0 ? "" : ", ") + kDefinitions[k].name + "=" + Loggable(k, inForce_[i]);
      text += " (" + sources_[i] + ")";
    }
  }
  LOG(INFO) << "Settings: " << text;
}

void CNimoOptions::Thaw() {
  nimo_sync::MutexLock lock(mutex_);
  frozen_ = false;
}

}  // namespace NimoSdk
