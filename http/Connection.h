// One TCP connection of one request, optionally with TLS on top, every wait
// bounded: connect by Timeouts::connectMs, each read or write by ioMs without
// progress, everything together by requestMs. An AbortHandle can end it from
// another thread. Not thread-safe itself; used by the thread running Send.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <openssl/ssl.h>

#include "http/Settings.h"
#include "http/Stream.h"
#include "http/TlsBio.h"
#include "platform/net/Socket.h"

namespace sion {

class AbortHandle;
class TlsContext;

class Connection : public Stream {
 public:
  Connection(AbortHandle* abort, const Timeouts& timeouts);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() override;

  // Each throws sion::Error with the reason.
  // The dotted IPv4 address of host: host itself when it is one (never
  // resolved), else the first address found, within the connect limit.
  std::string Resolve(const std::string& host);
  void Connect(const std::string& host, const std::string& ip, unsigned short port);
  // Handshake with peer verification; the name (or IP) checked is host.
  void StartTls(const std::string& host, const std::string& ip, int port);
  // Plain: a send failure is left for the following read to report.
  void WriteAll(const std::vector<char>& bytes);
  std::size_t Read(char* buffer, std::size_t size) override;
  bool ClosedCleanly() const override { return !closedWithoutNotify_; }
  // Ends TLS politely (close_notify); best effort, never throws.
  void Finish();

 private:
  enum class Waiting { Resolve, Connect, Handshake, Read, Write };
  int BudgetMs(int limitMs);
  void AfterWait(const nimo_net::IoResult& waited, Waiting what);
  void ThrowIfAborted() const;
  [[noreturn]] void ThrowTls(const char* what, int sslError, bool handshake);
  void WaitFor(int sslError, Waiting what);

  AbortHandle* const abort_;  // may be null
  const Timeouts timeouts_;
  const std::chrono::steady_clock::time_point deadline_;
  nimo_net::Socket socket_;
  bool attached_ = false;
  bool boundByDeadline_ = false;  // the last wait was cut to the request deadline
  bool closedWithoutNotify_ = false;
  std::string host_;
  std::string ip_;
  std::shared_ptr<TlsContext> tls_;  // the context ssl_ was made from, kept while it lives
  SSL* ssl_ = nullptr;
  SocketBioState bioState_;
  std::string sessionKey_;  // must outlive ssl_
};

}  // namespace sion
