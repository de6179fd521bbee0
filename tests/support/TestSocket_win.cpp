#include <winsock2.h>
#include <ws2tcpip.h>

#include "support/TestSocket.h"

#include <cstdint>
#include <stdexcept>

namespace nimo_test {
namespace sock {
namespace {

// Started once for the test process and left running.
void StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("test server: WSAStartup");
}

SOCKET S(int fd) { return static_cast<SOCKET>(static_cast<unsigned>(fd)); }

int Wait(int fd, int timeoutMs, bool* hungUp) {
  fd_set readable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&failed);
  FD_SET(S(fd), &readable);
  FD_SET(S(fd), &failed);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int r = select(0, &readable, nullptr, &failed, &tv);
  if (hungUp != nullptr) {
    char c;
    *hungUp = r > 0 && (FD_ISSET(S(fd), &failed) || recv(S(fd), &c, 1, MSG_PEEK) <= 0);
  }
  return r == SOCKET_ERROR ? -1 : r;
}

}  // namespace

const int kConnectionRefused = WSAECONNREFUSED;

int ListenLoopback(int backlog, int& port) {
  StartWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw std::runtime_error("test server: socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, backlog) != 0) {
    closesocket(s);
    throw std::runtime_error("test server: bind/listen");
  }
  int len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return static_cast<int>(s);
}

int Accept(int listenFd) {
  SOCKET s = accept(S(listenFd), nullptr, nullptr);
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

int WaitReadable(int fd, int timeoutMs) { return Wait(fd, timeoutMs, nullptr); }

bool HungUp(int fd) {
  bool hungUp = false;
  Wait(fd, 0, &hungUp);
  return hungUp;
}

long Recv(int fd, char* buffer, std::size_t size) { return recv(S(fd), buffer, static_cast<int>(size), 0); }

long Send(int fd, const char* data, std::size_t size) { return send(S(fd), data, static_cast<int>(size), 0); }

int StartConnect(int port) {
  StartWinsock();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return static_cast<int>(s);
}

void Shutdown(int fd) { shutdown(S(fd), SD_BOTH); }

void Close(int fd) { closesocket(S(fd)); }

void IgnoreBrokenPipeOnThisThread() {}  // Windows has no SIGPIPE

}  // namespace sock
}  // namespace nimo_test
