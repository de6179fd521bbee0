#include "tools/sandbox/Sandbox.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "tools/sandbox/Api.h"
#include "tools/sandbox/Certificates.h"
#include "tools/sandbox/ControlDesk.h"
#include "tools/sandbox/HttpsServer.h"
#include "tools/sandbox/ServerSockets.h"
#include "tools/sandbox/Settings.h"
#include "tools/sandbox/StopSignal.h"

namespace nimo_sandbox {
namespace {

using json = nlohmann::json;

}  // namespace

class Sandbox::Impl {
 public:
  explicit Impl(Options o)
      : options(std::move(o)),
        api(catalog, store, steam, settings, stop),
        control(faults, store, steam, settings, options.stateDir),
        https(options.log, options.hangLimitMs, faults, store, api, control, stop) {}

  bool Start(std::string* error);
  void Stop();

  // Constant after Start.
  Options options;
  CertificatePaths certs;
  Catalog catalog;
  bool started = false;
  std::atomic<bool> running{false};

  StopSignal stop;
  FaultTable faults;
  Settings settings;
  Store store;
  SteamSide steam;
  Api api;
  ControlDesk control;
  HttpsServer https;
};

bool Sandbox::Impl::Start(std::string* error) {
  if (started) {
    *error = "the sandbox was already started";
    return false;
  }
  // A client that leaves early must not kill the process with SIGPIPE on our next write.
  IgnoreBrokenPipes();
  if (options.stateDir.empty()) {
    *error = "a state folder is needed (--state DIR)";
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(options.stateDir, ec);
  options.stateDir = std::filesystem::absolute(options.stateDir, ec).lexically_normal().string();
  if (!options.stateDir.empty() && options.stateDir.back() == '/' && options.stateDir.size() > 1) {
    options.stateDir.pop_back();
  }
  if (!std::filesystem::is_directory(options.stateDir, ec)) {
    *error = "cannot create the state folder " + options.stateDir;
    return false;
  }
  std::string certDir = options.certDir.empty()
                            ? options.stateDir
                            : std::filesystem::absolute(options.certDir, ec).lexically_normal().string();
  std::filesystem::create_directories(certDir, ec);
  if (!EnsureCertificates(certDir, &certs, error)) return false;
  if (options.configFile.empty()) {
    catalog = Catalog::Default();
  } else if (!Catalog::FromFile(options.configFile, &catalog, error)) {
    return false;
  }
  settings.Change([this](Settings::Values& v) {
    v.player = options.player;
    v.testDevice = options.testDevice;
  });
  for (const auto& [name, fault] : options.faults) {
    const std::vector<Endpoint> named = EndpointsNamed(name);
    if (named.empty()) {
      *error = "unknown endpoint '" + name + "' in a fault";
      return false;
    }
    for (Endpoint e : named) faults.Set(e, fault);
  }
  if (!store.Open(options.stateDir, error)) return false;
  if (!steam.Start(options.steamPort, error)) return false;

  if (!https.Bind(certs, options.port, error)) {
    steam.Stop();
    return false;
  }
  started = true;
  running = https.Listen();
  if (!running) {
    *error = "the HTTPS server did not start";
    Stop();
    return false;
  }
  return true;
}

void Sandbox::Impl::Stop() {
  if (!started) return;
  started = false;
  stop.Raise();
  https.Stop();
  running = false;
  steam.Stop();
  store.Close();
}

// ------------------------------------------------------------------ Sandbox

Sandbox::Sandbox(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Sandbox::~Sandbox() { Stop(); }

bool Sandbox::Start(std::string* error) {
  std::string ignored;
  return impl_->Start(error != nullptr ? error : &ignored);
}
void Sandbox::Stop() { impl_->Stop(); }
bool Sandbox::IsRunning() const { return impl_->running.load(); }
int Sandbox::Port() const { return impl_->https.Port(); }
int Sandbox::SteamPort() const { return impl_->steam.Port(); }
std::string Sandbox::BaseUrl() const { return "https://127.0.0.1:" + std::to_string(Port()) + "/sdkapi"; }
std::string Sandbox::TrackUrl() const {
  return "https://127.0.0.1:" + std::to_string(Port()) + "/data/h5/v1.do";
}
std::string Sandbox::ControlUrl() const { return "https://127.0.0.1:" + std::to_string(Port()) + "/_control"; }
std::string Sandbox::CaFile() const { return impl_->certs.caCert; }
std::string Sandbox::SteamBridge() const { return "127.0.0.1:" + std::to_string(impl_->steam.Port()); }
const std::string& Sandbox::StateDir() const { return impl_->options.stateDir; }

std::string Sandbox::StartupLines() const {
  return "NIMOSDK_API_BASE_URL=" + BaseUrl() + "\n" + "NIMOSDK_TRACK_URL=" + TrackUrl() + "\n" +
         "NIMOSDK_CA_FILE=" + CaFile() + "\n" + "NIMO_STEAM_BRIDGE=" + SteamBridge() + "\n" +
         "NIMO_SANDBOX_CONTROL=" + ControlUrl() + "\n" + "NIMO_SANDBOX_STATE=" + StateDir() + "\n";
}

json Sandbox::Control(const json& command) {
  if (!command.is_object()) return {{"code", 400}, {"msg", "The control body must be a JSON object"}};
  return impl_->control.Control(command);
}
json Sandbox::State() const { return impl_->control.State(); }

bool Sandbox::SetFault(const std::string& endpoint, Fault fault) {
  Endpoint e;
  if (endpoint == "all") {
    for (int i = 0; i < kEndpointCount; ++i) impl_->faults.Set(static_cast<Endpoint>(i), fault);
    return true;
  }
  if (!EndpointFromName(endpoint, &e)) return false;
  impl_->faults.Set(e, std::move(fault));
  return true;
}
void Sandbox::SetFault(Endpoint endpoint, Fault fault) { impl_->faults.Set(endpoint, std::move(fault)); }
void Sandbox::ClearFaults() { impl_->faults.ClearAll(); }

void Sandbox::SetPlayer(PlayerMode mode) {
  impl_->settings.Change([&](Settings::Values& v) { v.player.mode = mode; });
}
void Sandbox::SetProductPlayer(const std::string& productId, PlayerMode mode) {
  impl_->settings.Change([&](Settings::Values& v) { v.player.perProduct[productId] = mode; });
}
void Sandbox::SetSteamDelay(int ms) {
  impl_->settings.Change([&](Settings::Values& v) { v.player.delayMs = ms < 0 ? 0 : ms; });
}
void Sandbox::SetSteamFirst(bool on) {
  impl_->settings.Change([&](Settings::Values& v) { v.player.steamFirst = on; });
}
void Sandbox::SetTestDevice(bool all) {
  impl_->settings.Change([&](Settings::Values& v) { v.testDevice = all; });
}
PlayerSettings Sandbox::Player() const { return impl_->settings.Get().player; }
const Catalog& Sandbox::GetCatalog() const { return impl_->catalog; }

std::vector<Order> Sandbox::Orders() const { return impl_->store.Orders(); }
std::optional<Order> Sandbox::FindOrder(const std::string& orderId) const { return impl_->store.FindOrder(orderId); }
std::optional<Order> Sandbox::FindOrderBySteamId(const std::string& steamOrderId) const {
  return impl_->store.FindOrderBySteamId(steamOrderId);
}
std::vector<User> Sandbox::Users() const { return impl_->store.Users(); }
std::vector<StoredEvent> Sandbox::Events() const { return impl_->store.Events(); }
std::map<std::string, DeviceCounters> Sandbox::EventCounters() const { return impl_->store.EventCounters(); }
std::vector<RequestRecord> Sandbox::Requests() const { return impl_->store.Requests(); }
std::vector<RequestRecord> Sandbox::RequestsFrom(std::uint64_t first, std::size_t max, std::uint64_t* next) const {
  return impl_->store.RequestsFrom(first, max, next);
}
std::vector<StoredEvent> Sandbox::EventsFrom(std::uint64_t first, std::size_t max, std::uint64_t* next) const {
  return impl_->store.EventsFrom(first, max, next);
}
bool Sandbox::SteamAnswered(const std::string& steamOrderId) const {
  return impl_->steam.WaitDelivered(std::strtoull(steamOrderId.c_str(), nullptr, 10), std::chrono::milliseconds(0),
                                    [] { return true; });
}
int Sandbox::RequestCount(Endpoint endpoint) const { return impl_->store.Count(EndpointName(endpoint)); }
int Sandbox::InFlight() const { return impl_->https.InFlight(); }
int Sandbox::Arrived() const { return impl_->https.Arrived(); }
int Sandbox::RefusedCount(Endpoint endpoint) const { return impl_->store.Refused(EndpointName(endpoint)); }
int Sandbox::Attributions(const std::string& appId, const std::string& clientId) const {
  return impl_->store.Attributions(appId, clientId);
}
std::vector<std::uint64_t> Sandbox::SteamClients() const { return impl_->steam.ConnectedSteamIds(); }
int Sandbox::SteamDelivered() const { return impl_->steam.Delivered(); }
int Sandbox::SteamWaiting() const { return impl_->steam.Waiting(); }

}  // namespace nimo_sandbox
