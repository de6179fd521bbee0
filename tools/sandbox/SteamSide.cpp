#include "tools/sandbox/SteamSide.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace nimo_sandbox {
namespace {

constexpr std::size_t kMaxLine = 4096;
constexpr std::size_t kMaxClients = 256;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
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
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int one = 1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listenFd_ < 0 || ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("Steam side cannot listen on 127.0.0.1:") + std::to_string(port) + ": " + std::strerror(errno);
    CloseFd(listenFd_);
    CloseFd(wakeFds_[0]);
    CloseFd(wakeFds_[1]);
    return false;
  }
  port_ = ntohs(addr.sin_port);
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
  CloseFd(listenFd_);
  CloseFd(wakeFds_[0]);
  CloseFd(wakeFds_[1]);
}

void SteamSide::Wake() {
  if (wakeFds_[1] >= 0) {
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFds_[1], &b, 1);
  }
}

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
    ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      c.in.append(buf, static_cast<std::size_t>(n));
      if (c.in.size() > kMaxLine && c.in.find('\n') == std::string::npos) {
        CloseFd(c.fd);  // a line without end: not a Steam client
        return;
      }
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) CloseFd(c.fd);
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
    std::vector<pollfd> fds = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    for (const auto& c : clients) {
      fds.push_back({c.fd, static_cast<short>(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
    }
    int rc = ::poll(fds.data(), fds.size(), timeoutMs);
    if (rc < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) {
      char drain[64];
      while (::read(wakeFds_[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[0].revents & POLLIN) {
      for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) break;
        if (clients.size() >= kMaxClients) {
          ::close(fd);
          continue;
        }
        Client c;
        c.fd = fd;
        clients.push_back(std::move(c));
      }
    }
    for (std::size_t i = 0; i < clients.size() && i + 2 < fds.size(); ++i) {
      if (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) ReadFrom(clients[i]);
    }
    Deliver(clients);
    for (auto& c : clients) {
      while (c.fd >= 0 && !c.out.empty()) {
        ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
          c.out.erase(0, static_cast<std::size_t>(n));
        } else {
          if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) CloseFd(c.fd);
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
