#include <winsock2.h>
#include <ws2tcpip.h>

#include "tools/sandbox/ServerSockets.h"

namespace nimo_sandbox {

// Writing to a closed socket fails with an error on Windows; there is no signal.
void IgnoreBrokenPipes() {}

void ClaimPortAlone(std::intptr_t sock) {
  // SO_REUSEADDR on Windows would let another socket take a bound port over.
  BOOL on = TRUE;
  ::setsockopt(static_cast<SOCKET>(sock), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof on);
}

void SendWithoutDelay(std::intptr_t sock) {
  BOOL on = TRUE;
  ::setsockopt(static_cast<SOCKET>(sock), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void CutConnection(std::intptr_t sock) {
  if (sock >= 0) ::shutdown(static_cast<SOCKET>(sock), SD_BOTH);
}

bool PeerLeft(std::intptr_t sock) {
  if (sock < 0) return false;
  const SOCKET s = static_cast<SOCKET>(sock);
  // No POLLRDHUP here, and a client's close_notify comes before its close: what it sent
  // after the request is read and dropped (the connection is cut once the hang ends).
  for (int reads = 0; reads < 16; ++reads) {
    WSAPOLLFD p{s, POLLRDNORM, 0};
    if (::WSAPoll(&p, 1, 0) <= 0) return false;
    if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
    if ((p.revents & POLLRDNORM) == 0) return false;
    char buf[512];
    if (::recv(s, buf, sizeof buf, 0) <= 0) return true;
  }
  return false;
}

}  // namespace nimo_sandbox
