#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "tools/sandbox/LineListener.h"

namespace nimo_sandbox {
namespace {

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

bool LineListener::Listen(int port, std::string* reason) {
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
    *reason = std::strerror(errno);
    Close();
    return false;
  }
  port_ = ntohs(addr.sin_port);
  return true;
}

void LineListener::Close() {
  CloseFd(listenFd_);
  CloseFd(wakeFds_[0]);
  CloseFd(wakeFds_[1]);
}

void LineListener::Wake() {
  if (wakeFds_[1] >= 0) {
    char b = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFds_[1], &b, 1);
  }
}

bool LineListener::Wait(std::vector<Watch>& watches, int timeoutMs, bool* incoming) {
  std::vector<pollfd> fds = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
  for (const auto& w : watches) fds.push_back({w.fd, static_cast<short>(POLLIN | (w.write ? POLLOUT : 0)), 0});
  int rc = ::poll(fds.data(), fds.size(), timeoutMs);
  if (rc < 0 && errno != EINTR) return false;
  if (fds[1].revents != 0) {
    char drain[64];
    while (::read(wakeFds_[0], drain, sizeof drain) > 0) {
    }
  }
  *incoming = (fds[0].revents & POLLIN) != 0;
  for (std::size_t i = 0; i < watches.size(); ++i) {
    watches[i].ready = (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  }
  return true;
}

int LineListener::Accept() { return ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }

long LineListener::Recv(int fd, char* buf, std::size_t size) {
  ssize_t n = ::recv(fd, buf, size, MSG_DONTWAIT);
  if (n >= 0) return static_cast<long>(n);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
}

long LineListener::Send(int fd, const char* data, std::size_t size) {
  ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) return static_cast<long>(n);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -2;
}

void LineListener::CloseConnection(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace nimo_sandbox
