// Steam's side of a purchase. After the sandbox opens a micro-transaction, Steam
// asks the player and tells the game. Here the "player" is a setting, and the
// game's Steam stand-in hears the answer over a loopback line channel:
//   client -> here:  "HELLO <appId> <steamId>\n"
//   here -> client:  "MICROTXN <appId> <orderId> <authorized 0|1>\n"
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tools/sandbox/LineListener.h"

namespace nimo_sandbox {

enum class PlayerMode { Approve, Decline, Never };
const char* PlayerModeName(PlayerMode m);
bool PlayerModeFromName(const std::string& name, PlayerMode* out);

// What the player does with an opened transaction: globally, or per product.
struct PlayerSettings {
  PlayerMode mode = PlayerMode::Approve;
  std::map<std::string, PlayerMode> perProduct;
  // From the create-order answer leaving the sandbox to Steam's answer, like a
  // player clicking in the overlay; also keeps the answer behind the order.
  int delayMs = 250;
  // Steam first: Steam's answer is delivered to the game before the
  // create-order answer leaves, which follows delayMs after the delivery.
  bool steamFirst = false;

  PlayerMode For(const std::string& productId) const;
  nlohmann::json ToJson() const;
};

class SteamSide {
 public:
  SteamSide() = default;
  SteamSide(const SteamSide&) = delete;
  SteamSide& operator=(const SteamSide&) = delete;
  ~SteamSide() { Stop(); }

  // Listens on 127.0.0.1:port (0: any free port).
  bool Start(int port, std::string* error);
  // Returns within a few milliseconds; connected clients are dropped.
  void Stop();
  int Port() const { return port_; }

  // Tells every client of steamId, after delayMs; kept until such a client says
  // HELLO when none is connected. appId 0: the app id the client announced.
  void Authorize(std::uint64_t steamId, std::uint32_t appId, std::uint64_t orderId, bool authorized, int delayMs);

  std::vector<std::uint64_t> ConnectedSteamIds() const;
  int Delivered() const;  // lines written to clients
  // Waits until an authorisation of orderId was written to a client, up to
  // timeout or until stop() holds; false when none was.
  bool WaitDelivered(std::uint64_t orderId, std::chrono::milliseconds timeout, const std::function<bool()>& stop);
  int Waiting() const;    // authorisations not yet delivered

 private:
  using Clock = std::chrono::steady_clock;
  struct Push {
    Clock::time_point due;
    std::uint64_t steamId;
    std::uint32_t appId;
    std::uint64_t orderId;
    bool authorized;
  };
  struct Client {
    int fd = -1;
    std::string in, out;
    bool hello = false;
    std::uint32_t appId = 0;
    std::uint64_t steamId = 0;
  };

  void Loop();
  void Wake();
  void ReadFrom(Client& c);
  void Deliver(std::vector<Client>& clients);

  // Constant while running.
  LineListener listener_;
  int port_ = 0;
  std::thread thread_;

  mutable std::mutex mutex_;
  bool stopping_ = false;              // guarded by mutex_
  std::vector<Push> pushes_;           // guarded by mutex_
  std::vector<std::uint64_t> helloIds_;  // guarded by mutex_ (copy of the loop's view)
  int delivered_ = 0;                  // guarded by mutex_
  std::set<std::uint64_t> deliveredOrders_;  // guarded by mutex_ (bounded)
};

}  // namespace nimo_sandbox
