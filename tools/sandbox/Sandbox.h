// nimo-sandbox: a stand-in for the publisher's servers on loopback, for the demo,
// the SDK's end-to-end tests and game studios rehearsing their integration.
//   HTTPS  <base>/sdkapi/...     the six signed API endpoints
//          <base>/data/h5/v1.do  data collection
//          <base>/_control       GET: settings and counters; POST: change settings
//   TCP    Steam's side (SteamSide.h), where the game's Steam stand-in hears
//          about the micro-transactions the sandbox opened.
// Runs as the nimo-sandbox executable or inside a test process; one instance
// starts once and stops once.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/sandbox/Catalog.h"
#include "tools/sandbox/Faults.h"
#include "tools/sandbox/SignedForm.h"
#include "tools/sandbox/SteamSide.h"
#include "tools/sandbox/Store.h"

namespace nimo_sandbox {

struct Options {
  int port = 0;       // HTTPS port on 127.0.0.1; 0 picks a free one
  int steamPort = 0;  // Steam side; 0 picks a free one
  std::string stateDir;    // certificates, orders, events; created when missing
  std::string certDir;     // where the CA and server certificate live; empty: stateDir
  std::string configFile;  // game keys and catalogue; empty: Catalog::Default()
  bool testDevice = false;  // answer isTestDevice 1 to every client
  PlayerSettings player;
  std::vector<std::pair<std::string, Fault>> faults;  // endpoint name or "all"
  int hangLimitMs = 120000;  // a "hang" gives up after this long at the latest
  // One line per request, from server threads; null keeps quiet.
  std::function<void(const std::string&)> log;
};

class Sandbox {
 public:
  explicit Sandbox(Options options);
  ~Sandbox();  // stops
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  bool Start(std::string* error);
  // Ends hanging and delayed answers and returns within about a second (a client
  // stuck half way through sending its request can hold it for the 5 s read limit).
  void Stop();
  bool IsRunning() const;

  int Port() const;
  int SteamPort() const;
  std::string BaseUrl() const;   // https://127.0.0.1:PORT/sdkapi
  std::string TrackUrl() const;  // https://127.0.0.1:PORT/data/h5/v1.do
  std::string ControlUrl() const;
  std::string CaFile() const;
  std::string SteamBridge() const;  // 127.0.0.1:PORT
  const std::string& StateDir() const;
  // The KEY=VALUE lines nimo-sandbox prints at start-up.
  std::string StartupLines() const;

  // --- settings, safe from any thread, effective for the next request ---
  // The body of POST /_control; answers {"code":200,...} or {"code":400,"msg":why}.
  nlohmann::json Control(const nlohmann::json& command);
  // The answer of GET /_control.
  nlohmann::json State() const;
  bool SetFault(const std::string& endpoint, Fault fault);  // name of SignedForm.h or "all"
  void SetFault(Endpoint endpoint, Fault fault);
  void ClearFaults();
  void SetPlayer(PlayerMode mode);
  void SetProductPlayer(const std::string& productId, PlayerMode mode);
  void SetSteamDelay(int ms);
  // Steam's answer reaches the game before the create-order answer leaves.
  void SetSteamFirst(bool on);
  void SetTestDevice(bool all);
  PlayerSettings Player() const;
  const Catalog& GetCatalog() const;

  // --- what arrived ---
  std::vector<Order> Orders() const;
  std::optional<Order> FindOrder(const std::string& orderId) const;
  std::optional<Order> FindOrderBySteamId(const std::string& steamOrderId) const;
  std::vector<User> Users() const;
  std::vector<StoredEvent> Events() const;
  std::map<std::string, DeviceCounters> EventCounters() const;
  std::vector<RequestRecord> Requests() const;
  // From number first on (see Store::RequestsFrom), for a view that follows along.
  std::vector<RequestRecord> RequestsFrom(std::uint64_t first, std::size_t max, std::uint64_t* next) const;
  std::vector<StoredEvent> EventsFrom(std::uint64_t first, std::size_t max, std::uint64_t* next) const;
  bool SteamAnswered(const std::string& steamOrderId) const;  // its MICROTXN line was written to the game
  int RequestCount(Endpoint endpoint) const;  // answered (or given up), by endpoint
  int InFlight() const;                        // requests being handled right now (hanging ones too)
  int Arrived() const;                         // requests to the endpoints that reached a handler so far
  int RefusedCount(Endpoint endpoint) const;
  int Attributions(const std::string& appId, const std::string& clientId) const;
  std::vector<std::uint64_t> SteamClients() const;  // Steam ids that said HELLO
  int SteamDelivered() const;                        // MICROTXN lines sent
  int SteamWaiting() const;                          // authorisations not delivered yet

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Command line of nimo-sandbox (see README.md). False with a message on a bad
// argument; help is set for --help.
struct CommandLine {
  Options options;
  bool exitOnStdinEof = false;
  bool quiet = false;
  bool help = false;
  bool printConfig = false;
  bool view = true;  // the live view page, on plain HTTP
  int viewPort = 0;
};
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error);
std::string Usage();

}  // namespace nimo_sandbox
