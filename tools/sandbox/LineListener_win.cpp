#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>

#include "tools/sandbox/LineListener.h"

namespace nimo_sandbox {
namespace {

SOCKET S(int fd) { return static_cast<SOCKET>(fd); }

void CloseFd(int& fd) {
  if (fd >= 0) ::closesocket(S(fd));
  fd = -1;
}

bool NonBlocking(SOCKET s) {
  u_long on = 1;
  return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

std::string SystemText(int err) {
  char text[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(err), 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = '\0';
  return n > 0 ? std::string(text) : "error " + std::to_string(err);
}

}  // namespace

bool LineListener::Listen(int port, std::string* reason) {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    *reason = "Winsock did not start";
    return false;
  }
  winsock_ = true;
  SOCKET l = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  listenFd_ = l == INVALID_SOCKET ? -1 : static_cast<int>(l);
  SOCKET w = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  wakeFds_[0] = wakeFds_[1] = w == INVALID_SOCKET ? -1 : static_cast<int>(w);
  // Not SO_REUSEADDR: on Windows it lets another socket take a bound port over.
  BOOL on = TRUE;
  sockaddr_in addr = Loopback(port);
  sockaddr_in wake = Loopback(0);
  int len = sizeof addr;
  int wakeLen = sizeof wake;
  if (listenFd_ < 0 || wakeFds_[0] < 0 ||
      ::setsockopt(l, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) != 0 ||
      !NonBlocking(l) || ::bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(l, 64) != 0 ||
      ::getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      // The wake-up: a datagram socket connected to itself.
      ::bind(w, reinterpret_cast<sockaddr*>(&wake), sizeof wake) != 0 ||
      ::getsockname(w, reinterpret_cast<sockaddr*>(&wake), &wakeLen) != 0 ||
      ::connect(w, reinterpret_cast<sockaddr*>(&wake), sizeof wake) != 0 || !NonBlocking(w)) {
    *reason = SystemText(::WSAGetLastError());
    Close();
    return false;
  }
  port_ = ntohs(addr.sin_port);
  return true;
}

void LineListener::Close() {
  CloseFd(listenFd_);
  CloseFd(wakeFds_[0]);
  wakeFds_[1] = -1;
  if (winsock_) ::WSACleanup();
  winsock_ = false;
}

void LineListener::Wake() {
  if (wakeFds_[1] >= 0) {
    char b = 1;
    ::send(S(wakeFds_[1]), &b, 1, 0);
  }
}

bool LineListener::Wait(std::vector<Watch>& watches, int timeoutMs, bool* incoming) {
  std::vector<WSAPOLLFD> fds = {{S(listenFd_), POLLRDNORM, 0}, {S(wakeFds_[0]), POLLRDNORM, 0}};
  for (const auto& w : watches) {
    fds.push_back({S(w.fd), static_cast<short>(POLLRDNORM | (w.write ? POLLWRNORM : 0)), 0});
  }
  if (::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs) == SOCKET_ERROR) return false;
  if (fds[1].revents != 0) {
    char drain[64];
    while (::recv(S(wakeFds_[0]), drain, sizeof drain, 0) > 0) {
    }
  }
  *incoming = (fds[0].revents & POLLRDNORM) != 0;
  for (std::size_t i = 0; i < watches.size(); ++i) {
    watches[i].ready = (fds[i + 2].revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
  }
  return true;
}

int LineListener::Accept() {
  SOCKET s = ::accept(S(listenFd_), nullptr, nullptr);
  if (s == INVALID_SOCKET) return -1;
  if (!NonBlocking(s)) {
    ::closesocket(s);
    return -1;
  }
  return static_cast<int>(s);
}

long LineListener::Recv(int fd, char* buf, std::size_t size) {
  int n = ::recv(S(fd), buf, static_cast<int>(size), 0);
  if (n >= 0) return n;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? -1 : -2;
}

long LineListener::Send(int fd, const char* data, std::size_t size) {
  int n = ::send(S(fd), data, static_cast<int>(size), 0);
  if (n >= 0) return n;
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -2;
}

void LineListener::CloseConnection(int fd) {
  if (fd >= 0) ::closesocket(S(fd));
}

}  // namespace nimo_sandbox
