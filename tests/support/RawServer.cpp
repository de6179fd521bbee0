#include "support/RawServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace nimo_test {
namespace {

// Server threads write to clients that may have gone; SIGPIPE is meant for the
// writing thread, so blocking it here keeps the test process alive without
// hiding a SIGPIPE the client itself would raise.
void BlockSigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int ListenOn(int backlog, int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("test server: socket");
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    throw std::runtime_error("test server: bind/listen");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

// ---- RawConn ----

int RawConn::ReadSome(char* buffer, int size, int timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!(ssl_ != nullptr && SSL_pending(ssl_) > 0)) {
    if (server_.Stopping() || std::chrono::steady_clock::now() >= until) return -1;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, 20);
    if (r > 0) break;
    if (r < 0 && errno != EINTR) return -1;
  }
  if (ssl_ != nullptr) {
    int n = SSL_read(ssl_, buffer, size);
    return n > 0 ? n : (SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN ? 0 : (n == 0 ? 0 : -1));
  }
  ssize_t n = ::recv(fd_, buffer, static_cast<std::size_t>(size), 0);
  return n >= 0 ? static_cast<int>(n) : -1;
}

std::string RawConn::ReadRequest(int timeoutMs) {
  std::string data;
  char buffer[4096];
  std::size_t headEnd = std::string::npos;
  std::size_t want = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (headEnd != std::string::npos && data.size() >= want) break;
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
    int n = ReadSome(buffer, sizeof buffer, std::max(left, 0));
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
      std::string head = data.substr(0, headEnd);
      std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
      std::size_t length = 0;
      std::size_t at = head.find("\r\ncontent-length:");
      if (at != std::string::npos) length = std::stoul(head.substr(at + 17));
      want = headEnd + 4 + length;
    }
  }
  server_.Record(data);
  return data;
}

bool RawConn::Write(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    int n;
    if (ssl_ != nullptr) {
      n = SSL_write(ssl_, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    } else {
      n = static_cast<int>(::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL));
    }
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool RawConn::WriteInPieces(const std::string& bytes, std::size_t piece, std::chrono::milliseconds pause) {
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
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!server_.Stopping() && std::chrono::steady_clock::now() < until) {
    int n = ReadSome(buffer, sizeof buffer, 50);
    if (n == 0) return;
    if (n < 0 && ssl_ != nullptr && !server_.Stopping()) {
      // A failed TLS read means the client went away too.
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) return;
    }
  }
}

bool RawConn::Sleep(std::chrono::milliseconds d) {
  auto until = std::chrono::steady_clock::now() + d;
  while (std::chrono::steady_clock::now() < until) {
    if (server_.Stopping()) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::milliseconds(10), until - std::chrono::steady_clock::now()));
  }
  return !server_.Stopping();
}

std::string RawConn::ServerName() const {
  const char* name = ssl_ != nullptr ? SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name) : nullptr;
  return name != nullptr ? name : "";
}

bool RawConn::Resumed() const { return ssl_ != nullptr && SSL_session_reused(ssl_) == 1; }

// ---- RawServer ----

RawServer::RawServer(Script script) : script_(std::move(script)) { Listen(); }

RawServer::RawServer(Script script, const CertFiles& files)
    : script_(std::move(script)), tls_(NewServerContext(files)) {
  Listen();
}

void RawServer::Listen() {
  listenFd_ = ListenOn(64, port_);
  acceptThread_ = std::thread(&RawServer::AcceptLoop, this);
}

RawServer::~RawServer() {
  stopping_ = true;
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  ::close(listenFd_);
  if (tls_ != nullptr) SSL_CTX_free(tls_);
}

std::string RawServer::Url(const std::string& path, const std::string& scheme, const std::string& host) const {
  return scheme + "://" + host + ":" + std::to_string(port_) + path;
}

std::vector<std::string> RawServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void RawServer::Record(const std::string& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(request);
}

void RawServer::AcceptLoop() {
  BlockSigpipe();
  while (!stopping_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    std::lock_guard<std::mutex> lock(mutex_);
    openFds_.push_back(fd);
    threads_.emplace_back(&RawServer::Serve, this, fd);
  }
}

void RawServer::Serve(int fd) {
  BlockSigpipe();
  SSL* ssl = nullptr;
  bool ready = true;
  if (tls_ != nullptr) {
    ssl = SSL_new(tls_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
      ++failedHandshakes_;
      ready = false;
    } else if (SSL_session_reused(ssl) == 1) {
      ++resumed_;
    }
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
  ::close(fd);
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

// ---- FullListener ----

FullListener::FullListener() {
  listenFd_ = ListenOn(0, port_);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  // Backlog 0 still queues one connection; the rest only fill the SYN side.
  for (int i = 0; i < 3; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers_.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

FullListener::~FullListener() {
  for (int fd : fillers_) ::close(fd);
  ::close(listenFd_);
}

}  // namespace nimo_test
