#include "platform/steam/SteamBridge.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>

namespace steam_standin {

bool SteamBridge::Connect(const std::string& hostPort, std::uint32_t appId, std::uint64_t steamId) {
  Close();
  auto colon = hostPort.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = hostPort.substr(0, colon);
  int port = std::atoi(hostPort.c_str() + colon + 1);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (port <= 0 || port > 65535 || inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return false;

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (::poll(&p, 1, 1000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) rc = 0;
  }
  if (rc != 0) {
    ::close(fd);
    return false;
  }
  std::string hello = "HELLO " + std::to_string(appId) + " " + std::to_string(steamId) + "\n";
  if (::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void SteamBridge::Poll(const Deliver& deliver) {
  if (fd_ < 0) return;
  char buf[1024];
  for (;;) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      pending_.append(buf, static_cast<std::size_t>(n));
      if (pending_.size() > 64 * 1024) pending_.clear();  // a peer that never ends a line
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) Close();
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
}

void SteamBridge::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

}  // namespace steam_standin
