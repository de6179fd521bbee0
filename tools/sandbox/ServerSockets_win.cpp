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
  WSAPOLLFD p{static_cast<SOCKET>(sock), POLLRDNORM, 0};
  if (::WSAPoll(&p, 1, 0) <= 0) return false;
  if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
  // Readable: either more bytes from the client or its close (no POLLRDHUP here).
  char b;
  return (p.revents & POLLRDNORM) != 0 && ::recv(static_cast<SOCKET>(sock), &b, 1, MSG_PEEK) <= 0;
}

}  // namespace nimo_sandbox
