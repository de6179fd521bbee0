#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <csignal>

#include "tools/sandbox/ServerSockets.h"

// Debian's cpp-httplib is a prebuilt, uninstrumented library: ThreadSanitizer
// cannot see its atomics (for example a static's init guard), so the memory
// calls it makes are not checked. Our own code and every lock stay checked.
// Used only by ThreadSanitizer builds of programs that link the sandbox; this
// file is linked into every one of them.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }

namespace nimo_sandbox {

void IgnoreBrokenPipes() { std::signal(SIGPIPE, SIG_IGN); }

void ClaimPortAlone(std::intptr_t sock) {
  // Not SO_REUSEPORT (httplib's default); SO_REUSEADDR only lets a restart reuse the port.
  int one = 1;
  ::setsockopt(static_cast<int>(sock), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

void SendWithoutDelay(std::intptr_t sock) {
  int one = 1;
  ::setsockopt(static_cast<int>(sock), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void CutConnection(std::intptr_t sock) {
  if (sock >= 0) ::shutdown(static_cast<int>(sock), SHUT_RDWR);
}

bool PeerLeft(std::intptr_t sock) {
  if (sock < 0) return false;
  pollfd p{static_cast<int>(sock), static_cast<short>(POLLRDHUP), 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace nimo_sandbox
