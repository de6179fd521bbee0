// The few socket calls the test servers need, over POSIX sockets or Winsock
// (TestSocket_posix.cpp / TestSocket_win.cpp). Socket handles are ints, as in
// platform/net. Failures are -1 (or false), never exceptions, except ListenLoopback.
#pragma once

#include <cstddef>

namespace nimo_test {
namespace sock {

// The system's error code for a refused connection (ECONNREFUSED, WSAECONNREFUSED).
extern const int kConnectionRefused;

// A listening socket on 127.0.0.1 and a free port; throws std::runtime_error.
int ListenLoopback(int backlog, int& port);
int Accept(int listenFd);  // -1 when none could be taken
// Waits until fd is readable: > 0 ready, 0 time-out, < 0 error.
int WaitReadable(int fd, int timeoutMs);
// True when the peer hung up or the socket failed (polled without waiting).
bool HungUp(int fd);
long Recv(int fd, char* buffer, std::size_t size);
long Send(int fd, const char* data, std::size_t size);  // never raises SIGPIPE
// Starts a non-blocking connect to 127.0.0.1:port, returns the socket.
int StartConnect(int port);
void Shutdown(int fd);
void Close(int fd);
// Server threads write to clients that may have gone: no SIGPIPE on this thread.
void IgnoreBrokenPipeOnThisThread();

}  // namespace sock
}  // namespace nimo_test
