// Steam's side of a purchase, played by the sandbox server: a plain TCP line
// channel on loopback. The client says who it is; the server pushes purchase
// authorisations as the real Steam client would after the publisher opened them.
//   client -> server:  "HELLO <appId> <steamId>\n"
//   server -> client:  "MICROTXN <appId> <orderId> <authorized 0|1>\n"
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/net/Socket.h"

namespace steam_standin {

class SteamBridge {
 public:
  using Deliver = std::function<void(std::uint32_t appId, std::uint64_t orderId, bool authorized)>;

  SteamBridge() = default;
  SteamBridge(const SteamBridge&) = delete;
  SteamBridge& operator=(const SteamBridge&) = delete;
  ~SteamBridge() { Close(); }

  // hostPort is "127.0.0.1:port". Connects within a second or gives up.
  bool Connect(const std::string& hostPort, std::uint32_t appId, std::uint64_t steamId);
  // Never blocks: reads what has arrived and hands every complete line to deliver.
  void Poll(const Deliver& deliver);
  void Close();
  bool IsConnected() const { return socket_.IsOpen(); }

 private:
  nimo_net::Socket socket_;
  std::string pending_;
};

}  // namespace steam_standin
