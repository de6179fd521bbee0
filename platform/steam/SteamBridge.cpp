#include "platform/steam/SteamBridge.h"

#include <chrono>
#include <cstdlib>
#include <sstream>

namespace steam_standin {

using nimo_net::Io;

bool SteamBridge::Connect(const std::string& hostPort, std::uint32_t appId, std::uint64_t steamId) {
  Close();
  auto colon = hostPort.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = hostPort.substr(0, colon);
  int port = std::atoi(hostPort.c_str() + colon + 1);
  if (port <= 0 || port > 65535 || !nimo_net::IsIpv4(host)) return false;
  int err = 0;
  if (!socket_.Open(err) || socket_.Connect(host, static_cast<unsigned short>(port), 1000).status != Io::Ok) {
    Close();
    return false;
  }
  const std::string hello = "HELLO " + std::to_string(appId) + " " + std::to_string(steamId) + "\n";
  std::size_t sent = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (sent < hello.size()) {
    nimo_net::IoResult r = socket_.SendSome(hello.data() + sent, hello.size() - sent);
    if (r.status != Io::Ok || std::chrono::steady_clock::now() > deadline) {
      Close();
      return false;
    }
    sent += r.bytes;
    if (r.bytes == 0) socket_.WaitWritable(100);
  }
  return true;
}

void SteamBridge::Poll(const Deliver& deliver) {
  if (!socket_.IsOpen()) return;
  char buf[1024];
  bool closed = false;  // lines that came before the close still count
  for (;;) {
    nimo_net::IoResult r = socket_.RecvSome(buf, sizeof buf);
    if (r.status == Io::Ok && r.bytes > 0) {
      pending_.append(buf, r.bytes);
      if (pending_.size() > 64 * 1024) pending_.clear();  // a peer that never ends a line
      continue;
    }
    closed = r.status != Io::Ok;
    break;
  }
  std::size_t eol;
  while ((eol = pending_.find('\n')) != std::string::npos) {
    std::istringstream line(pending_.substr(0, eol));
    pending_.erase(0, eol + 1);
    std::string word;
    unsigned long long app = 0, order = 0;
    int authorized = 0;
    if (line >> word >> app >> order >> authorized && word == "MICROTXN") {
      deliver(static_cast<std::uint32_t>(app), static_cast<std::uint64_t>(order), authorized != 0);
    }
  }
  if (closed) Close();
}

void SteamBridge::Close() {
  socket_.Close();
  pending_.clear();
}

}  // namespace steam_standin
