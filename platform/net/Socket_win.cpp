// Winsock 2 variant. Each open Socket (and each resolution) holds one
// WSAStartup reference, released by exactly one WSACleanup.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/net/Socket.h"
#include "platform/sync/Mutex.h"
#include "platform/sys/WinText.h"

#include <algorithm>
#include <chrono>
#include <set>

namespace nimo_net {
namespace {

// A wait is cut into slices so that a socket shut down by another thread is
// noticed within one slice, whatever select() does with a shut-down socket.
constexpr int kSliceMs = 50;

nimo_sync::Mutex& ShutMutex() {
  static nimo_sync::Mutex* m = new nimo_sync::Mutex();
  return *m;
}
std::set<SOCKET>& ShutSockets() {  // guarded by ShutMutex(); shut down, not yet closed
  static std::set<SOCKET>* s = new std::set<SOCKET>();
  return *s;
}
bool IsShut(SOCKET s) {
  nimo_sync::MutexLock lock(ShutMutex());
  return ShutSockets().count(s) != 0;
}

// Not a Winsock code: start-up granted a version other than 2.0.
constexpr int kWrongVersion = -1;

// Version 2.0 exactly, or nothing (and no cleanup owed).
int StartWinsock() {
  WSADATA data{};
  int rc = WSAStartup(MAKEWORD(2, 0), &data);
  if (rc != 0) return rc;
  if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 0) {
    WSACleanup();
    return kWrongVersion;
  }
  return 0;
}

class WinsockScope {
 public:
  WinsockScope() : error_(StartWinsock()) {}
  ~WinsockScope() {
    if (error_ == 0) WSACleanup();
  }
  WinsockScope(const WinsockScope&) = delete;
  WinsockScope& operator=(const WinsockScope&) = delete;
  int Error() const { return error_; }

 private:
  int error_;
};

SOCKET Native(int fd) { return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<unsigned>(fd)); }

// select() on one socket in slices; failures count as ready (the next call says why).
IoResult Wait(int fd, bool forWrite, int timeoutMs) {
  const SOCKET s = Native(fd);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
  for (;;) {
    if (IsShut(s)) return {Io::Ok, 0, 0};
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    int slice = static_cast<int>(std::max<long long>(0, std::min<long long>(left, kSliceMs)));
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);  // a failed non-blocking connect shows here, not as writable
    timeval tv{slice / 1000, (slice % 1000) * 1000};
    int r = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &tv);
    if (r > 0) return {Io::Ok, 0, 0};
    if (r == SOCKET_ERROR) return {Io::Error, 0, WSAGetLastError()};
    if (left <= 0) return {Io::Timeout, 0, 0};
  }
}

}  // namespace

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
  err = StartWinsock();
  if (err != 0) return false;
  SOCKET s =
      WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    err = WSAGetLastError();
    WSACleanup();
    return false;
  }
  u_long nonBlocking = 1;
  if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    err = WSAGetLastError();
    closesocket(s);
    WSACleanup();
    return false;
  }
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);  // best effort
  fd_ = static_cast<int>(s);
  return true;
}

bool Socket::IsRefused(int err) { return err == WSAECONNREFUSED; }

std::string Socket::OpenFailureText(int err) {
  switch (err) {
    case WSAEINPROGRESS:
      return "正在进行阻塞的 Windows Sockets 1.1 操作";
    case WSAEPROCLIM:
      return "已达到 Windows 套接字实现支持的任务数限制";
    case WSASYSNOTREADY:
      return "底层网络子系统尚未准备好进行网络通信";
    case WSAVERNOTSUPPORTED:
      return "此特定 Windows 套接字实现不提供请求的 Windows 套接字支持版本";
    case kWrongVersion:
      return "wsa初始化错误";
    default:
      return {};
  }
}

void Socket::Close() {
  if (fd_ < 0) return;
  const SOCKET s = Native(fd_);
  {
    nimo_sync::MutexLock lock(ShutMutex());
    ShutSockets().erase(s);  // before the handle value can be reused
  }
  closesocket(s);
  WSACleanup();
  fd_ = -1;
}

IoResult Socket::Connect(const std::string& ip, unsigned short port, int timeoutMs) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) return {Io::Error, 0, WSAEINVAL};
  if (connect(Native(fd_), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return {Io::Ok, 0, 0};
  int e = WSAGetLastError();
  if (e != WSAEWOULDBLOCK && e != WSAEINPROGRESS) return {Io::Error, 0, e};
  IoResult w = Wait(fd_, true, timeoutMs);
  if (w.status != Io::Ok) return w;
  int soerr = 0;
  int len = sizeof soerr;
  if (getsockopt(Native(fd_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soerr), &len) != 0) {
    return {Io::Error, 0, WSAGetLastError()};
  }
  if (soerr != 0) return {Io::Error, 0, soerr};
  if (IsShut(Native(fd_))) return {Io::Error, 0, WSAESHUTDOWN};
  return {Io::Ok, 0, 0};
}

IoResult Socket::SendSome(const char* data, std::size_t size) { return nimo_net::SendSome(fd_, data, size); }

IoResult Socket::RecvSome(char* buffer, std::size_t size) { return nimo_net::RecvSome(fd_, buffer, size); }

IoResult SendSome(int fd, const char* data, std::size_t size) {
  const int n = send(Native(fd), data, static_cast<int>(std::min<std::size_t>(size, 1u << 30)), 0);
  if (n >= 0) return {Io::Ok, static_cast<std::size_t>(n), 0};
  int e = WSAGetLastError();
  if (e == WSAEWOULDBLOCK || e == WSAEINTR) return {Io::Ok, 0, 0};
  return {Io::Error, 0, e};
}

IoResult RecvSome(int fd, char* buffer, std::size_t size) {
  const int n = recv(Native(fd), buffer, static_cast<int>(std::min<std::size_t>(size, 1u << 30)), 0);
  if (n > 0) return {Io::Ok, static_cast<std::size_t>(n), 0};
  if (n == 0) return {Io::Closed, 0, 0};
  int e = WSAGetLastError();
  if (e == WSAEWOULDBLOCK || e == WSAEINTR) return {Io::Ok, 0, 0};
  if (e == WSAESHUTDOWN) return {Io::Closed, 0, 0};  // shut down by an abort
  return {Io::Error, 0, e};
}

IoResult Socket::WaitReadable(int timeoutMs) const { return Wait(fd_, false, timeoutMs); }

IoResult Socket::WaitWritable(int timeoutMs) const { return Wait(fd_, true, timeoutMs); }

void ShutdownBoth(int fd) {
  if (fd < 0) return;
  const SOCKET s = Native(fd);
  {
    nimo_sync::MutexLock lock(ShutMutex());
    ShutSockets().insert(s);
  }
  shutdown(s, SD_BOTH);
}

int ResolveIpv4(const std::string& host, std::string& ip, std::string& text) {
  WinsockScope winsock;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int r = winsock.Error() != 0 ? (winsock.Error() == kWrongVersion ? WSAVERNOTSUPPORTED : winsock.Error())
                                : getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (r != 0) {
    // What gai_strerrorA gives (the system message table, inserts ignored, line
    // breaks dropped), taken as UTF-16 so that the text is UTF-8 like all ours.
    wchar_t message[1024] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                             nullptr, static_cast<DWORD>(r), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), message,
                             static_cast<DWORD>(sizeof message / sizeof message[0]), nullptr);
    text = nimo_sys::Utf16ToUtf8(message, n);
    return r;
  }
  char buffer[22] = {};
  const auto* sin = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
  inet_ntop(AF_INET, &sin->sin_addr, buffer, sizeof buffer);
  freeaddrinfo(list);
  ip = buffer;
  return 0;
}

bool IsIpv4(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

}  // namespace nimo_net
