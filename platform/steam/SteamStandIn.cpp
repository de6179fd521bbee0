// The Steam stand-in: one process-wide state under one lock. Callbacks are queued
// and delivered only inside SteamAPI_RunCallbacks, on the calling thread, never
// while the lock is held.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <variant>

#include "platform/steam/SteamBridge.h"
#include "platform/steam/steam_api.h"
#include "platform/steam/steam_control.h"

namespace steam_standin {
namespace {

using Clock = std::chrono::steady_clock;
using Payload = std::variant<GetAuthSessionTicketResponse_t, MicroTxnAuthorizationResponse_t>;

struct Pending {
  Clock::time_point due;
  Payload payload;
};

struct Settings {
  bool running = true;
  uint64 steamId = kDefaultSteamId;
  uint32 appId = 480;
  bool overlay = true;
  std::vector<uint8> ticketBytes;
  int ticketResult = k_EResultOK;
  int ticketDelayMs = 0;
  int initDelayMs = 0;
  std::string bridge;
};

long long EnvNumber(const char* name, long long fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  long long n = std::strtoll(v, &end, 10);
  return (end != nullptr && *end == '\0') ? n : fallback;
}

Settings FromEnvironment() {
  Settings s;
  s.running = EnvNumber("NIMO_STEAM_RUNNING", 1) != 0;
  s.appId = static_cast<uint32>(EnvNumber("SteamAppId", 480));
  const char* id = std::getenv("NIMO_STEAM_ID");
  if (id != nullptr && *id != '\0') s.steamId = std::strtoull(id, nullptr, 10);
  s.overlay = EnvNumber("NIMO_STEAM_OVERLAY", 1) != 0;
  s.ticketResult = static_cast<int>(EnvNumber("NIMO_STEAM_TICKET_RESULT", k_EResultOK));
  s.ticketDelayMs = static_cast<int>(EnvNumber("NIMO_STEAM_TICKET_DELAY_MS", 0));
  s.initDelayMs = static_cast<int>(EnvNumber("NIMO_STEAM_INIT_DELAY_MS", 0));
  if (const char* b = std::getenv("NIMO_STEAM_BRIDGE")) s.bridge = b;
  return s;
}

class StandIn;
class User final : public ISteamUser {
 public:
  CSteamID GetSteamID() override;
  HAuthTicket GetAuthSessionTicket(void* ticket, int maxTicket, uint32* size, const void*) override;
};
class Utils final : public ISteamUtils {
 public:
  uint32 GetAppID() override;
  bool IsOverlayEnabled() override;
};

class StandIn {
 public:
  static StandIn& Get() {
    static StandIn* instance = new StandIn();  // lives for the process, like Steam
    return *instance;
  }

  std::mutex mu;
  // guarded by mu
  Settings settings = FromEnvironment();
  bool initialised = false;
  int initCalls = 0, shutdownCalls = 0, pumpCalls = 0;
  uint32 nextHandle = 0, lastHandle = 0;
  std::vector<uint8> lastTicket;
  std::thread::id lastDispatch;
  std::multimap<int, CCallbackBase*> callbacks;
  std::vector<Pending> pending;
  SteamBridge bridge;

  User user;
  Utils utils;
};

CSteamID User::GetSteamID() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return CSteamID(s.settings.steamId);
}

HAuthTicket User::GetAuthSessionTicket(void* ticket, int maxTicket, uint32* size, const void*) {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  std::vector<uint8> bytes = s.settings.ticketBytes;
  if (bytes.empty()) {
    bytes.resize(48);
    std::random_device random;
    for (auto& b : bytes) b = static_cast<uint8>(random());
  }
  std::size_t n = maxTicket > 0 ? std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(maxTicket)) : 0;
  if (ticket != nullptr && n > 0) std::memcpy(ticket, bytes.data(), n);
  if (size != nullptr) *size = static_cast<uint32>(n);
  HAuthTicket handle = ++s.nextHandle;
  s.lastHandle = handle;
  s.lastTicket.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  if (s.settings.ticketDelayMs >= 0) {
    GetAuthSessionTicketResponse_t r{handle, static_cast<EResult>(s.settings.ticketResult)};
    s.pending.push_back({Clock::now() + std::chrono::milliseconds(s.settings.ticketDelayMs), r});
  }
  return handle;
}

uint32 Utils::GetAppID() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.settings.appId;
}

bool Utils::IsOverlayEnabled() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.settings.overlay;
}

int IdOf(const Payload& p) {
  if (std::holds_alternative<GetAuthSessionTicketResponse_t>(p)) return GetAuthSessionTicketResponse_t::k_iCallback;
  return MicroTxnAuthorizationResponse_t::k_iCallback;
}

}  // namespace

void Reset() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  s.settings = FromEnvironment();
  s.initialised = false;
  s.initCalls = s.shutdownCalls = s.pumpCalls = 0;
  s.pending.clear();
  s.lastTicket.clear();
  s.lastHandle = 0;
  s.bridge.Close();
}

#define STANDIN_SET(field, value)                \
  do {                                           \
    auto& s = StandIn::Get();                    \
    std::lock_guard<std::mutex> lock(s.mu);      \
    s.settings.field = value;                    \
  } while (0)

void SetRunning(bool running) { STANDIN_SET(running, running); }
void SetSteamId(std::uint64_t steamId) { STANDIN_SET(steamId, steamId); }
void SetAppId(std::uint32_t appId) { STANDIN_SET(appId, appId); }
void SetOverlayEnabled(bool enabled) { STANDIN_SET(overlay, enabled); }
void SetTicketBytes(std::vector<std::uint8_t> bytes) { STANDIN_SET(ticketBytes, std::move(bytes)); }
void SetTicketAnswer(int result, int delayMs) {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  s.settings.ticketResult = result;
  s.settings.ticketDelayMs = delayMs;
}

void SetBridge(std::string hostPort) { STANDIN_SET(bridge, std::move(hostPort)); }

void SetInitDelay(int delayMs) { STANDIN_SET(initDelayMs, delayMs); }

void QueueMicroTxnAuthorization(std::uint32_t appId, std::uint64_t orderId, bool authorized) {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  MicroTxnAuthorizationResponse_t r{appId, orderId, static_cast<uint8>(authorized ? 1 : 0)};
  s.pending.push_back({Clock::now(), r});
}

void QueueTicketResponse(std::uint32_t handle, int result) {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  GetAuthSessionTicketResponse_t r{handle, static_cast<EResult>(result)};
  s.pending.push_back({Clock::now(), r});
}

bool IsInitialised() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.initialised;
}
int InitCalls() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.initCalls;
}
int ShutdownCalls() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.shutdownCalls;
}
int PumpCalls() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.pumpCalls;
}
std::thread::id LastDispatchThread() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.lastDispatch;
}
std::vector<std::uint8_t> LastTicket() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.lastTicket;
}
std::uint32_t LastTicketHandle() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.lastHandle;
}

}  // namespace steam_standin

using steam_standin::StandIn;

void* SteamInternal_ContextInit(void* contextInitData) { return contextInitData; }

void SteamAPI_RegisterCallback(CCallbackBase* callback, int iCallback) {
  if (callback == nullptr) return;
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  callback->SetRegistration(iCallback, true);
  s.callbacks.emplace(iCallback, callback);
}

void SteamAPI_UnregisterCallback(CCallbackBase* callback) {
  if (callback == nullptr) return;
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  for (auto it = s.callbacks.begin(); it != s.callbacks.end();) {
    it = it->second == callback ? s.callbacks.erase(it) : std::next(it);
  }
  callback->SetRegistration(callback->GetICallback(), false);
}

int SteamInternal_SteamAPI_Init(const char* /*versions*/, char* errMsg) {
  auto& s = StandIn::Get();
  int delayMs = 0;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    ++s.initCalls;
    delayMs = s.settings.initDelayMs;
  }
  if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  std::lock_guard<std::mutex> lock(s.mu);
  if (!s.settings.running) {
    if (errMsg != nullptr) std::strcpy(errMsg, "Steam is not running");
    return k_ESteamAPIInitResult_NoSteamClient;
  }
  s.initialised = true;
  if (!s.settings.bridge.empty() && !s.bridge.IsConnected()) {
    s.bridge.Connect(s.settings.bridge, s.settings.appId, s.settings.steamId);
  }
  return k_ESteamAPIInitResult_OK;
}

void SteamAPI_RunCallbacks() {
  auto& s = StandIn::Get();
  std::vector<steam_standin::Payload> due;
  std::multimap<int, CCallbackBase*> callbacks;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    ++s.pumpCalls;
    if (!s.initialised) return;
    s.bridge.Poll([&](std::uint32_t app, std::uint64_t order, bool ok) {
      s.pending.push_back({steam_standin::Clock::now(),
                           MicroTxnAuthorizationResponse_t{app, order, static_cast<uint8>(ok ? 1 : 0)}});
    });
    auto now = steam_standin::Clock::now();
    for (auto it = s.pending.begin(); it != s.pending.end();) {
      if (it->due <= now) {
        due.push_back(it->payload);
        it = s.pending.erase(it);
      } else {
        ++it;
      }
    }
    if (!due.empty()) s.lastDispatch = std::this_thread::get_id();
    callbacks = s.callbacks;
  }
  for (auto& p : due) {
    auto range = callbacks.equal_range(steam_standin::IdOf(p));
    for (auto it = range.first; it != range.second; ++it) {
      std::visit([&](auto& payload) { it->second->Run(&payload); }, p);
    }
  }
}

void SteamAPI_Shutdown() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  ++s.shutdownCalls;
  s.initialised = false;
  s.pending.clear();
  s.bridge.Close();
}

HSteamUser SteamAPI_GetHSteamUser() {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.initialised ? 1 : 0;
}

void* SteamInternal_FindOrCreateUserInterface(HSteamUser hSteamUser, const char* version) {
  auto& s = StandIn::Get();
  std::lock_guard<std::mutex> lock(s.mu);
  if (!s.initialised || version == nullptr) return nullptr;
  if (std::strcmp(version, STEAMUSER_INTERFACE_VERSION) == 0 && hSteamUser != 0) return &s.user;
  if (std::strcmp(version, STEAMUTILS_INTERFACE_VERSION) == 0) return &s.utils;
  return nullptr;
}
