// The Steam side's raw TCP on 127.0.0.1: a non-blocking listener, the connections it
// accepts, and a wake-up that another thread rings while the loop waits. POSIX
// (LineListener_posix.cpp: poll and a pipe) or Winsock (LineListener_win.cpp: WSAPoll
// and a datagram socket that sends to itself). Connections are plain numbers, -1 for none.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace nimo_sandbox {

class LineListener {
 public:
  struct Watch {
    int fd;
    bool write;          // also wake when it can be written
    bool ready = false;  // out: readable, closed or failed
  };

  LineListener() = default;
  LineListener(const LineListener&) = delete;
  LineListener& operator=(const LineListener&) = delete;
  ~LineListener() { Close(); }

  // Listens on 127.0.0.1:port (0: any free port); false with the system's reason.
  bool Listen(int port, std::string* reason);
  int Port() const { return port_; }
  void Close();
  void Wake();

  // Waits up to timeoutMs for a connection to accept (incoming), a wake-up or a watched
  // connection; false when waiting failed.
  bool Wait(std::vector<Watch>& watches, int timeoutMs, bool* incoming);
  int Accept();  // -1 when none waits

  // Recv: the count; 0 when the peer closed; -1 when nothing is there now; -2 on failure.
  static long Recv(int fd, char* buf, std::size_t size);
  // Send: the count (0: nothing could leave now); -2 on failure. Never raises SIGPIPE.
  static long Send(int fd, const char* data, std::size_t size);
  static void CloseConnection(int fd);

 private:
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};  // read and write ends (Windows: the one socket twice)
  int port_ = 0;
  bool winsock_ = false;
};

}  // namespace nimo_sandbox
