// A scriptable TCP (or TLS) server on 127.0.0.1: each accepted connection runs the script on a thread
// of its own. The destructor ends every connection and joins every thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>

#include "support/TestCerts.h"

namespace nimo_test {

class RawServer;

// One accepted connection, seen from the script.
class RawConn {
 public:
  // Reads one request (head and content-length body), records it in Requests() and returns it ("" if none).
  std::string ReadRequest(int timeoutMs = 5000);
  bool Write(const std::string& bytes);  // false when the client has gone
  // Writes bytes in pieces of `piece` bytes with a pause after each.
  bool WriteInPieces(const std::string& bytes, std::size_t piece, std::chrono::milliseconds pause);
  // Says nothing until the client closes or the server stops (at most timeoutMs).
  void WaitForClose(int timeoutMs = 20000);
  // Sleeps, waking early when the server stops; false then.
  bool Sleep(std::chrono::milliseconds d);
  // TLS only: the connection ends with a bare close, no close_notify.
  void SkipCloseNotify();
  // TLS only: the name the client sent (SNI).
  std::string ServerName() const;

 private:
  friend class RawServer;
  RawConn(RawServer& server, int fd, SSL* ssl) : server_(server), fd_(fd), ssl_(ssl) {}
  // Bytes read, 0 at a close, -1 on failure, time-out or stop.
  int ReadSome(char* buffer, int size, int timeoutMs);

  RawServer& server_;
  int fd_;
  SSL* ssl_;  // null for plain TCP
};

class RawServer {
 public:
  using Script = std::function<void(RawConn&)>;

  // With files: TLS presenting them, the handshake done before the script.
  explicit RawServer(Script script, const CertFiles& files = {});
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;
  ~RawServer();

  int Port() const { return port_; }
  // "http://127.0.0.1:<port><path>", or with another scheme or host.
  std::string Url(const std::string& path = "/", const std::string& scheme = "http",
                  const std::string& host = "127.0.0.1") const;

  std::vector<std::string> Requests() const;
  int Accepted() const { return accepted_.load(); }
  int ResumedHandshakes() const { return resumed_.load(); }

  static Script Reply(std::string bytes);  // read the request, answer, close
  static Script Silent();                  // read the request, then say nothing

 private:
  friend class RawConn;
  void AcceptLoop();
  void Serve(int fd);

  Script script_;
  SSL_CTX* tls_ = nullptr;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> resumed_{0};
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  std::vector<std::string> requests_;  // guarded by mutex_
  std::vector<std::thread> threads_;   // guarded by mutex_
  std::vector<int> openFds_;           // guarded by mutex_
};

// A listening socket whose accept queue is full and never drained: a further connect stays unanswered.
class FullListener {
 public:
  FullListener();
  ~FullListener();
  int Port() const { return port_; }

 private:
  int listenFd_ = -1;
  std::vector<int> fillers_;
  int port_ = 0;
};

}  // namespace nimo_test
