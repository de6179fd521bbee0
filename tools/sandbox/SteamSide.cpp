#include "tools/sandbox/SteamSide.h"

#include <algorithm>
#include <sstream>

namespace nimo_sandbox {
namespace {

constexpr std::size_t kMaxLine = 4096;
constexpr std::size_t kMaxClients = 256;

void CloseFd(int& fd) {
  LineListener::CloseConnection(fd);
  fd = -1;
}

}  // namespace

const char* PlayerModeName(PlayerMode m) {
  switch (m) {
    case PlayerMode::Approve: return "approve";
    case PlayerMode::Decline: return "decline";
    case PlayerMode::Never: return "never";
  }
  return "approve";
}

bool PlayerModeFromName(const std::string& name, PlayerMode* out) {
  for (PlayerMode m : {PlayerMode::Approve, PlayerMode::Decline, PlayerMode::Never}) {
    if (name == PlayerModeName(m)) {
      *out = m;
      return true;
    }
  }
  return false;
}

PlayerMode PlayerSettings::For(const std::string& productId) const {
  auto it = perProduct.find(productId);
  return it != perProduct.end() ? it->second : mode;
}

nlohmann::json PlayerSettings::ToJson() const {
  nlohmann::json products = nlohmann::json::object();
  for (const auto& [id, m] : perProduct) products[id] = PlayerModeName(m);
  return {{"mode", PlayerModeName(mode)}, {"delayMs", delayMs}, {"products", products}, {"steamFirst", steamFirst}};
}

bool SteamSide::Start(int port, std::string* error) {
  Stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  std::string reason;
  if (!listener_.Listen(port, &reason)) {
    *error = std::string("Steam side cannot listen on 127.0.0.1:") + std::to_string(port) + ": " + reason;
    return false;
  }
  port_ = listener_.Port();
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void SteamSide::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  Wake();
  if (thread_.joinable()) thread_.join();
  listener_.Close();
}

void SteamSide::Wake() { listener_.Wake(); }

void SteamSide::Authorize(std::uint64_t steamId, std::uint32_t appId, std::uint64_t orderId, bool authorized,
                          int delayMs) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pushes_.push_back({Clock::now() + std::chrono::milliseconds(std::max(0, delayMs)), steamId, appId, orderId,
                       authorized});
  }
  Wake();
}

std::vector<std::uint64_t> SteamSide::ConnectedSteamIds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return helloIds_;
}

int SteamSide::Delivered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delivered_;
}

bool SteamSide::WaitDelivered(std::uint64_t orderId, std::chrono::milliseconds timeout,
                              const std::function<bool()>& stop) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (deliveredOrders_.count(orderId) != 0) return true;
    }
    if (Clock::now() >= deadline || stop()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int SteamSide::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(pushes_.size());
}

void SteamSide::ReadFrom(Client& c) {
  char buf[1024];
  for (;;) {
    long n = LineListener::Recv(c.fd, buf, sizeof buf);
    if (n > 0) {
      c.in.append(buf, static_cast<std::size_t>(n));
      if (c.in.size() > kMaxLine && c.in.find('\n') == std::string::npos) {
        CloseFd(c.fd);  // a line without end: not a Steam client
        return;
      }
      continue;
    }
    if (n != -1) CloseFd(c.fd);  // closed or failed; -1: nothing more for now
    break;
  }
  std::size_t eol;
  while (c.fd >= 0 && (eol = c.in.find('\n')) != std::string::npos) {
    std::istringstream line(c.in.substr(0, eol));
    c.in.erase(0, eol + 1);
    std::string word;
    unsigned long long app = 0, steamId = 0;
    if (line >> word >> app >> steamId && word == "HELLO" && app <= 0xFFFFFFFFULL) {
      c.hello = true;
      c.appId = static_cast<std::uint32_t>(app);
      c.steamId = steamId;
    }
  }
}

void SteamSide::Deliver(std::vector<Client>& clients) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto now = Clock::now();
  for (auto it = pushes_.begin(); it != pushes_.end();) {
    bool sent = false;
    if (it->due <= now) {
      for (auto& c : clients) {
        if (c.fd < 0 || !c.hello || c.steamId != it->steamId) continue;
        std::uint32_t app = it->appId != 0 ? it->appId : c.appId;
        c.out += "MICROTXN " + std::to_string(app) + " " + std::to_string(it->orderId) + " " +
                 (it->authorized ? "1" : "0") + "\n";
        ++delivered_;
        if (deliveredOrders_.size() >= 4096) deliveredOrders_.clear();
        deliveredOrders_.insert(it->orderId);
        sent = true;
      }
    }
    it = sent ? pushes_.erase(it) : std::next(it);
  }
}

void SteamSide::Loop() {
  std::vector<Client> clients;  // loop thread only
  for (;;) {
    int timeoutMs = 1000;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      auto now = Clock::now();
      for (const auto& p : pushes_) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(p.due - now).count() + 1;
        timeoutMs = static_cast<int>(std::clamp<long long>(ms, 0, timeoutMs));
      }
    }
    std::vector<LineListener::Watch> watches;
    for (const auto& c : clients) watches.push_back({c.fd, !c.out.empty()});
    bool incoming = false;
    if (!listener_.Wait(watches, timeoutMs, &incoming)) break;
    if (incoming) {
      for (;;) {
        int fd = listener_.Accept();
        if (fd < 0) break;
        if (clients.size() >= kMaxClients) {
          LineListener::CloseConnection(fd);
          continue;
        }
        Client c;
        c.fd = fd;
        clients.push_back(std::move(c));
      }
    }
    for (std::size_t i = 0; i < clients.size() && i < watches.size(); ++i) {
      if (watches[i].ready) ReadFrom(clients[i]);
    }
    Deliver(clients);
    for (auto& c : clients) {
      while (c.fd >= 0 && !c.out.empty()) {
        long n = LineListener::Send(c.fd, c.out.data(), c.out.size());
        if (n > 0) {
          c.out.erase(0, static_cast<std::size_t>(n));
        } else {
          if (n < 0) CloseFd(c.fd);
          break;
        }
      }
    }
    clients.erase(std::remove_if(clients.begin(), clients.end(), [](const Client& c) { return c.fd < 0; }),
                  clients.end());
    std::vector<std::uint64_t> ids;
    for (const auto& c : clients) {
      if (c.hello) ids.push_back(c.steamId);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    helloIds_ = std::move(ids);
  }
  for (auto& c : clients) CloseFd(c.fd);
  std::lock_guard<std::mutex> lock(mutex_);
  helloIds_.clear();
}

}  // namespace nimo_sandbox
