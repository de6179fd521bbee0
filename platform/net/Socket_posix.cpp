#include "platform/net/Socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nimo_net {

Socket::Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Socket::~Socket() { Close(); }

bool Socket::Open(int& err) {
  Close();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    err = errno;
    return false;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // best effort
  fd_ = fd;
  return true;
}

std::string Socket::OpenFailureText(int) { return {}; }

bool Socket::IsRefused(int err) { return err == ECONNREFUSED; }

void Socket::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

namespace {

// poll() on one descriptor, restarted after signals with the time that is left.
IoResult Wait(int fd, short events, int timeoutMs) {
  struct pollfd p {};
  p.fd = fd;
  p.events = events;
  for (;;) {
    int r = ::poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (r > 0) return {Io::Ok, 0, 0};
    if (r == 0) return {Io::Timeout, 0, 0};
    if (errno != EINTR) return {Io::Error, 0, errno};
    // A signal: try again. The bound stays honest enough since signals are rare.
  }
}

}  // namespace

IoResult Socket::Connect(const std::string& ip, unsigned short port, int timeoutMs) {
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) return {Io::Error, 0, EINVAL};
  if (::connect(fd_, reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) == 0) return {Io::Ok, 0, 0};
  if (errno != EINPROGRESS && errno != EINTR) return {Io::Error, 0, errno};
  IoResult w = Wait(fd_, POLLOUT, timeoutMs);
  if (w.status != Io::Ok) return w;
  int soerr = 0;
  socklen_t len = sizeof soerr;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soerr, &len) != 0) return {Io::Error, 0, errno};
  if (soerr != 0) return {Io::Error, 0, soerr};
  return {Io::Ok, 0, 0};
}

IoResult Socket::SendSome(const char* data, std::size_t size) { return nimo_net::SendSome(fd_, data, size); }

IoResult Socket::RecvSome(char* buffer, std::size_t size) { return nimo_net::RecvSome(fd_, buffer, size); }

IoResult SendSome(int fd, const char* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) return {Io::Ok, static_cast<std::size_t>(n), 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {Io::Ok, 0, 0};
    return {Io::Error, 0, errno};
  }
}

IoResult RecvSome(int fd, char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::recv(fd, buffer, size, 0);
    if (n > 0) return {Io::Ok, static_cast<std::size_t>(n), 0};
    if (n == 0) return {Io::Closed, 0, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {Io::Ok, 0, 0};
    return {Io::Error, 0, errno};
  }
}

IoResult Socket::WaitReadable(int timeoutMs) const { return Wait(fd_, POLLIN, timeoutMs); }

IoResult Socket::WaitWritable(int timeoutMs) const { return Wait(fd_, POLLOUT, timeoutMs); }

void ShutdownBoth(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

int ResolveIpv4(const std::string& host, std::string& ip, std::string& text) {
  struct addrinfo hints {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* list = nullptr;
  int r = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (r != 0) {
    text = ::gai_strerror(r);
    return r;
  }
  char buffer[INET_ADDRSTRLEN + 6] = {};  // 22 bytes, as the address text needs at most 16
  const auto* sin = reinterpret_cast<const struct sockaddr_in*>(list->ai_addr);
  ::inet_ntop(AF_INET, &sin->sin_addr, buffer, sizeof buffer);
  ::freeaddrinfo(list);
  ip = buffer;
  return 0;
}

bool IsIpv4(const std::string& text) {
  struct in_addr a {};
  return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

}  // namespace nimo_net
