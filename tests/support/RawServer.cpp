#include "support/RawServer.h"

#include <algorithm>

#include "http/Strings.h"
#include "support/TestSocket.h"

namespace nimo_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int RawConn::ReadSome(char* buffer, int size, int timeoutMs) {
  auto until = Clock::now() + milliseconds(timeoutMs);
  while (!(ssl_ != nullptr && SSL_pending(ssl_) > 0)) {
    if (server_.stopping_ || Clock::now() >= until) return -1;
    int r = sock::WaitReadable(fd_, 20);
    if (r > 0) break;
    if (r < 0) return -1;
  }
  if (ssl_ != nullptr) {
    int n = SSL_read(ssl_, buffer, size);
    return n >= 0 || SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN ? std::max(n, 0) : -1;
  }
  long n = sock::Recv(fd_, buffer, static_cast<std::size_t>(size));
  return n >= 0 ? static_cast<int>(n) : -1;
}

std::string RawConn::ReadRequest(int timeoutMs) {
  std::string data;
  char buffer[4096];
  std::size_t headEnd = std::string::npos;
  std::size_t want = 0;
  auto until = Clock::now() + milliseconds(timeoutMs);
  for (;;) {
    if (headEnd != std::string::npos && data.size() >= want) break;
    int left = static_cast<int>(std::chrono::duration_cast<milliseconds>(until - Clock::now()).count());
    int n = ReadSome(buffer, sizeof buffer, std::max(left, 0));
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
      const std::string head = sion::ToLower(data.substr(0, headEnd));
      std::size_t length = 0;
      std::size_t at = head.find("\r\ncontent-length:");
      if (at != std::string::npos) length = std::stoul(head.substr(at + 17));
      want = headEnd + 4 + length;
    }
  }
  std::lock_guard<std::mutex> lock(server_.mutex_);
  server_.requests_.push_back(data);
  return data;
}

bool RawConn::Write(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    int n;
    if (ssl_ != nullptr) {
      n = SSL_write(ssl_, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    } else {
      n = static_cast<int>(sock::Send(fd_, bytes.data() + sent, bytes.size() - sent));
    }
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool RawConn::WriteInPieces(const std::string& bytes, std::size_t piece, milliseconds pause) {
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    if (!Write(bytes.substr(at, piece))) return false;
    if (!Sleep(pause)) return false;
  }
  return true;
}

void RawConn::SkipCloseNotify() {
  if (ssl_ != nullptr) SSL_set_quiet_shutdown(ssl_, 1);
}

void RawConn::WaitForClose(int timeoutMs) {
  char buffer[1024];
  auto until = Clock::now() + milliseconds(timeoutMs);
  while (!server_.stopping_ && Clock::now() < until) {
    int n = ReadSome(buffer, sizeof buffer, 50);
    // A failed TLS read on a hung-up socket: the client went away too.
    if (n == 0 || (n < 0 && ssl_ != nullptr && !server_.stopping_ && sock::HungUp(fd_))) return;
  }
}

bool RawConn::Sleep(milliseconds d) {
  auto until = Clock::now() + d;
  for (auto now = until - d; !server_.stopping_ && now < until; now = Clock::now()) {
    std::this_thread::sleep_for(std::min<Clock::duration>(milliseconds(10), until - now));
  }
  return !server_.stopping_;
}

std::string RawConn::ServerName() const {
  const char* name = ssl_ != nullptr ? SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name) : nullptr;
  return name != nullptr ? name : "";
}

RawServer::RawServer(Script script, const CertFiles& files)
    : script_(std::move(script)), tls_(files.cert.empty() ? nullptr : NewServerContext(files)) {
  listenFd_ = sock::ListenLoopback(64, port_);
  acceptThread_ = std::thread(&RawServer::AcceptLoop, this);
}

RawServer::~RawServer() {
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : openFds_) sock::Shutdown(fd);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  sock::Close(listenFd_);
  if (tls_ != nullptr) SSL_CTX_free(tls_);
}

std::string RawServer::Url(const std::string& path, const std::string& scheme, const std::string& host) const {
  return scheme + "://" + host + ":" + std::to_string(port_) + path;
}

std::vector<std::string> RawServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void RawServer::AcceptLoop() {
  sock::IgnoreBrokenPipeOnThisThread();
  while (!stopping_) {
    if (sock::WaitReadable(listenFd_, 20) <= 0) continue;
    int fd = sock::Accept(listenFd_);
    if (fd < 0) continue;
    ++accepted_;
    std::lock_guard<std::mutex> lock(mutex_);
    openFds_.push_back(fd);
    threads_.emplace_back(&RawServer::Serve, this, fd);
  }
}

void RawServer::Serve(int fd) {
  sock::IgnoreBrokenPipeOnThisThread();
  SSL* ssl = nullptr;
  bool ready = true;
  if (tls_ != nullptr) {
    ssl = SSL_new(tls_);
    SSL_set_fd(ssl, fd);
    ready = SSL_accept(ssl) == 1;
    if (ready && SSL_session_reused(ssl) == 1) ++resumed_;
  }
  if (ready) {
    RawConn conn(*this, fd, ssl);
    script_(conn);
    if (ssl != nullptr) SSL_shutdown(ssl);
  }
  if (ssl != nullptr) SSL_free(ssl);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
  }
  sock::Close(fd);
}

RawServer::Script RawServer::Reply(std::string bytes) {
  return [bytes = std::move(bytes)](RawConn& c) {
    c.ReadRequest();
    c.Write(bytes);
  };
}

RawServer::Script RawServer::Silent() {
  return [](RawConn& c) {
    c.ReadRequest();
    c.WaitForClose();
  };
}

FullListener::FullListener() {
  listenFd_ = sock::ListenLoopback(0, port_);
  // Backlog 0 still queues one connection; the rest only fill the SYN side.
  for (int i = 0; i < 3; ++i) fillers_.push_back(sock::StartConnect(port_));
  std::this_thread::sleep_for(milliseconds(50));
}

FullListener::~FullListener() {
  for (int fd : fillers_) sock::Close(fd);
  sock::Close(listenFd_);
}

}  // namespace nimo_test
