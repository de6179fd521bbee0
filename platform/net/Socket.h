// The socket calls the HTTP client needs, with time limits: POSIX sockets
// (Socket_posix.cpp) or Winsock 2 (Socket_win.cpp). Nothing here knows HTTP;
// failures are returned as values carrying errno (WSAGetLastError on Windows),
// never thrown. Every socket is non-blocking (and close-on-exec); waits are
// poll() / WSAPoll() calls. Windows socket handles fit in an int, as OpenSSL's
// SSL_set_fd also assumes. Each open Socket holds one WSAStartup reference.
#pragma once

#include <cstddef>
#include <string>

namespace nimo_net {

// Outcome of one socket operation.
enum class Io {
  Ok,       // done (for Send/Recv: some bytes moved, see the count)
  Closed,   // the peer closed its side (Recv read 0)
  Timeout,  // nothing happened within the time limit
  Error,    // the system refused; err holds errno
};

struct IoResult {
  Io status = Io::Ok;
  std::size_t bytes = 0;
  int err = 0;
};

// Owns one IPv4 stream socket; closes it on destruction. Not copyable.
class Socket {
 public:
  Socket() = default;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  ~Socket();

  // A fresh non-blocking TCP/IPv4 socket with TCP_NODELAY (requests are written
  // whole, so Nagle would only delay them). Returns false with errno in err.
  bool Open(int& err);
  // Why Open failed, in the system's words where it has some (Winsock's start-up
  // failures); empty otherwise.
  static std::string OpenFailureText(int err);
  // True when err (from Connect) says the peer refused: nobody listens there.
  static bool IsRefused(int err);
  void Close();
  int Fd() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }

  // Connects to the dotted IPv4 address and port within timeoutMs.
  IoResult Connect(const std::string& ip, unsigned short port, int timeoutMs);

  // Moves bytes without blocking; Ok with bytes 0 means "would block".
  // SendSome never raises SIGPIPE.
  IoResult SendSome(const char* data, std::size_t size);
  IoResult RecvSome(char* buffer, std::size_t size);

  // Waits until the socket can be read (or written) or has failed; Timeout
  // after timeoutMs. A shut-down socket counts as ready.
  IoResult WaitReadable(int timeoutMs) const;
  IoResult WaitWritable(int timeoutMs) const;

 private:
  int fd_ = -1;
};

// The same as Socket::SendSome / RecvSome on a bare descriptor (for TLS BIOs).
IoResult SendSome(int fd, const char* data, std::size_t size);
IoResult RecvSome(int fd, char* buffer, std::size_t size);

// Ends both directions of a socket so that a thread blocked on it wakes up.
// Safe to call from another thread while the socket is in use (not after close).
void ShutdownBoth(int fd);

// First IPv4 address of host as dotted text. Returns the getaddrinfo result
// (0 on success); on failure text holds the system's message for it
// (gai_strerror; FormatMessageA on Windows).
int ResolveIpv4(const std::string& host, std::string& ip, std::string& text);

// True when text is a dotted IPv4 address.
bool IsIpv4(const std::string& text);

}  // namespace nimo_net

