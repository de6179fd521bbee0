#include "http/Connection.h"

#include <algorithm>
#include <cerrno>

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include "http/Abort.h"
#include "http/Error.h"
#include "http/Strings.h"
#include "http/TlsContext.h"
#include "platform/net/Resolver.h"

namespace sion {

using nimo_net::Io;
using nimo_net::IoResult;

Connection::Connection(AbortHandle* abort, const Timeouts& timeouts)
    : abort_(abort),
      timeouts_(timeouts),
      deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeouts.requestMs)) {}

Connection::~Connection() {
  if (ssl_ != nullptr) SSL_free(ssl_);  // frees its BIO too
  if (attached_) abort_->Detach();      // before the descriptor can be reused
  socket_.Close();
}

int Connection::BudgetMs(int limitMs) {
  // Rounded up, so a wait bound by the request deadline does not wake just before it.
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now()).count();
  boundByDeadline_ = left <= limitMs;
  return static_cast<int>(std::max<long long>(0, std::min<long long>(limitMs, left)));
}

void Connection::ThrowIfAborted() const {
  if (abort_ != nullptr && abort_->Aborted()) throw Error("请求已取消", ErrorKind::Aborted, "request cancelled");
}

void Connection::AfterWait(const IoResult& waited, Waiting what) {
  ThrowIfAborted();
  if (waited.status == Io::Ok) return;
  if (waited.status == Io::Error)
    throw Error("网络异常,poll错误码：" + std::to_string(waited.err), ErrorKind::Other,
                "waiting on the socket failed, system error " + std::to_string(waited.err));
  if (boundByDeadline_ || std::chrono::steady_clock::now() >= deadline_) {
    throw Error("网络超时,请求超过" + std::to_string(timeouts_.requestMs) + "ms未完成", ErrorKind::Timeout,
                "request not complete within " + std::to_string(timeouts_.requestMs) + " ms");
  }
  const std::string io = std::to_string(timeouts_.ioMs);
  switch (what) {
    case Waiting::Resolve:
      throw Error("域名解析超时:\nHost:" + host_ + "\n超时：" + std::to_string(timeouts_.connectMs) + "ms",
                  ErrorKind::Timeout,
                  "resolving " + host_ + " took over " + std::to_string(timeouts_.connectMs) + " ms");
    case Waiting::Connect:
      throw Error("连接超时:\nHost:" + host_ + "\nIp:" + ip_ + "\n超时：" + std::to_string(timeouts_.connectMs) + "ms",
                  ErrorKind::Timeout,
                  "connecting to " + host_ + " (" + ip_ + ") took over " + std::to_string(timeouts_.connectMs) + " ms");
    case Waiting::Handshake:
      throw Error("网络超时,TLS握手" + io + "ms无进展", ErrorKind::Timeout,
                  "TLS handshake made no progress for " + io + " ms");
    case Waiting::Read:
      throw Error("网络超时," + io + "ms未收到数据", ErrorKind::Timeout, "no data received for " + io + " ms");
    case Waiting::Write:
      throw Error("网络超时,发送数据" + io + "ms无进展", ErrorKind::Timeout,
                  "sending made no progress for " + io + " ms");
  }
  throw Error("网络超时", ErrorKind::Timeout, "timed out");
}

std::string Connection::Resolve(const std::string& host) {
  host_ = host;
  if (nimo_net::IsIpv4(host)) return host;
  ThrowIfAborted();
  const int budget = BudgetMs(timeouts_.connectMs);
  if (budget == 0) AfterWait({Io::Timeout, 0, 0}, Waiting::Resolve);  // the request's time is spent
  std::shared_ptr<nimo_net::Lookup> lookup = nimo_net::Lookup::Start(host);
  if (abort_ != nullptr && !abort_->AttachLookup(lookup)) ThrowIfAborted();
  std::string ip;
  std::string text;
  int code = 0;
  const nimo_net::Lookup::Status status = lookup->Wait(budget, ip, code, text);
  if (abort_ != nullptr) abort_->AttachLookup(nullptr);
  ThrowIfAborted();
  switch (status) {
    case nimo_net::Lookup::Status::Done:
      return ip;
    case nimo_net::Lookup::Status::Failed:
      throw Error("错误" + std::to_string(code) + text, ErrorKind::Dns,
                  "cannot resolve " + host + " (resolver error " + std::to_string(code) + ")");
    case nimo_net::Lookup::Status::Busy:
      throw Error(text, ErrorKind::Dns, "too many host name lookups at once");
    case nimo_net::Lookup::Status::TimedOut:
    case nimo_net::Lookup::Status::Cancelled:
      break;
  }
  AfterWait({Io::Timeout, 0, 0}, Waiting::Resolve);
  return {};
}

void Connection::Connect(const std::string& host, const std::string& ip, unsigned short port) {
  host_ = host;
  ip_ = ip;
  if (BudgetMs(timeouts_.connectMs) == 0) AfterWait({Io::Timeout, 0, 0}, Waiting::Connect);  // time already spent
  int err = 0;
  if (!socket_.Open(err)) {
    const std::string why = nimo_net::Socket::OpenFailureText(err);
    throw Error(!why.empty() ? why : "网络异常,无法创建socket,错误码：" + std::to_string(err), ErrorKind::Other,
                "cannot create a socket, system error " + std::to_string(err));
  }
  if (abort_ != nullptr) {
    attached_ = true;
    if (!abort_->Attach(socket_.Fd())) ThrowIfAborted();
  }
  IoResult r = socket_.Connect(ip, port, BudgetMs(timeouts_.connectMs));
  if (r.status == Io::Timeout) AfterWait(r, Waiting::Connect);
  ThrowIfAborted();
  if (r.status == Io::Error) {
    const bool refused = nimo_net::Socket::IsRefused(r.err);
    throw Error("连接失败:\nHost:" + host + "\nIp:" + ip + "\n错误码：" + std::to_string(r.err),
                refused ? ErrorKind::Refused : ErrorKind::Other,
                std::string(refused ? "connection refused by " : "cannot connect to ") + host + " (" + ip + ":" +
                    std::to_string(port) + "), system error " + std::to_string(r.err));
  }
}

void Connection::WriteAll(const std::vector<char>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    if (ssl_ != nullptr) {
      ERR_clear_error();
      int n = SSL_write(ssl_, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      int e = SSL_get_error(ssl_, n);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) ThrowTls("网络异常,TLS发送失败:", e, false);
      WaitFor(e, Waiting::Write);
      continue;
    }
    IoResult r = socket_.SendSome(bytes.data() + sent, bytes.size() - sent);
    if (r.status != Io::Ok) {
      ThrowIfAborted();
      return;  // the peer is gone or refused; the read that follows says how
    }
    if (r.bytes > 0) {
      sent += r.bytes;
      continue;
    }
    AfterWait(socket_.WaitWritable(BudgetMs(timeouts_.ioMs)), Waiting::Write);
  }
}

std::size_t Connection::Read(char* buffer, std::size_t size) {
  for (;;) {
    if (ssl_ != nullptr) {
      ERR_clear_error();
      int n = SSL_read(ssl_, buffer, static_cast<int>(size));
      if (n > 0) return static_cast<std::size_t>(n);
      int e = SSL_get_error(ssl_, n);
      if (e == SSL_ERROR_ZERO_RETURN) {
        ThrowIfAborted();
        return 0;
      }
      if (e == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        // A bare close: the end of the stream, but not proof that nothing was cut off.
        ERR_clear_error();
        ThrowIfAborted();
        closedWithoutNotify_ = true;
        return 0;
      }
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) ThrowTls("网络异常,Socket错误码：-1,", e, false);
      // Wait on the socket, never sleep: TLS 1.3 tickets arrive as records
      // that yield no data and must not cost a timer tick each.
      WaitFor(e, Waiting::Read);
      continue;
    }
    IoResult r = socket_.RecvSome(buffer, size);
    if (r.status == Io::Ok && r.bytes > 0) return r.bytes;
    if (r.status == Io::Closed) {
      ThrowIfAborted();
      return 0;
    }
    if (r.status == Io::Error) {
      ThrowIfAborted();
      throw Error("网络异常,Socket错误码：-1", ErrorKind::Dropped, "connection reset while reading the answer");
    }
    AfterWait(socket_.WaitReadable(BudgetMs(timeouts_.ioMs)), Waiting::Read);
  }
}

void Connection::WaitFor(int sslError, Waiting what) {
  const int budget = BudgetMs(timeouts_.ioMs);
  AfterWait(sslError == SSL_ERROR_WANT_WRITE ? socket_.WaitWritable(budget) : socket_.WaitReadable(budget), what);
}

void Connection::ThrowTls(const char* what, int sslError, bool handshake) {
  const int savedErrno = errno;
  ThrowIfAborted();
  const bool bareClose = ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
  std::string why = OpenSslErrorText();
  if (bareClose) why.clear();
  const std::string english = why;
  bool closed = false;
  if (why.empty()) {
    if (sslError == SSL_ERROR_ZERO_RETURN || (sslError == SSL_ERROR_SYSCALL && savedErrno == 0) || bioState_.eof) {
      why = "连接被对方关闭";
      closed = true;
    } else {
      why = "错误码：" + std::to_string(savedErrno);
    }
  }
  // A close in the middle of an answer is a dropped connection; during the
  // handshake it is the server refusing TLS with us.
  const ErrorKind kind = closed && !handshake ? ErrorKind::Dropped : ErrorKind::Tls;
  std::string detail = handshake ? "TLS handshake failed: " : "TLS failure: ";
  if (!english.empty()) {
    detail += english;  // OpenSSL's own (English) text
  } else if (closed) {
    detail += "connection closed by the server";
  } else {
    detail += "system error " + std::to_string(savedErrno);
  }
  throw Error(what + why, kind, detail);
}

void Connection::StartTls(const std::string& host, const std::string& ip, int port) {
  tls_ = TlsContext::Get();
  TlsContext& context = *tls_;
  ssl_ = SSL_new(context.Ctx());
  bioState_.fd = socket_.Fd();
  BIO* bio = ssl_ != nullptr ? NewSocketBio(context.SocketBio(), &bioState_) : nullptr;
  if (ssl_ == nullptr || bio == nullptr)
    throw Error("openssl初始化异常", ErrorKind::Tls, "cannot set up a TLS session");
  SSL_set_bio(ssl_, bio, bio);

  // A host without letters was used as an IPv4 address; the certificate must name that address.
  if (HasAsciiLetter(host)) {
    SSL_set_tlsext_host_name(ssl_, host.c_str());
    // The name must be among the certificate's subject alternative names (RFC 6125); its common name never counts.
    SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    if (SSL_set1_host(ssl_, host.c_str()) != 1)
      throw Error("openssl初始化异常", ErrorKind::Tls, "cannot set up a TLS session");
  } else if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), ip.c_str()) != 1) {
    throw Error("openssl初始化异常", ErrorKind::Tls, "cannot set up a TLS session");
  }

  sessionKey_ = host + ":" + std::to_string(port);
  TlsContext::BindSessionKey(ssl_, &sessionKey_);
  if (SSL_SESSION* session = context.TakeSession(sessionKey_)) {
    SSL_set_session(ssl_, session);
    SSL_SESSION_free(session);
  }

  for (;;) {
    ERR_clear_error();
    int rc = SSL_connect(ssl_);
    if (rc == 1) return;
    int e = SSL_get_error(ssl_, rc);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      WaitFor(e, Waiting::Handshake);
      continue;
    }
    long verified = SSL_get_verify_result(ssl_);
    if (verified != X509_V_OK) {
      ThrowIfAborted();
      const std::string why = X509_verify_cert_error_string(verified);
      throw Error("TLS握手失败,证书验证未通过:" + why, ErrorKind::TlsVerify, "server certificate not accepted: " + why);
    }
    ThrowTls("TLS握手失败:", e, true);
  }
}

void Connection::Finish() {
  if (ssl_ == nullptr) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);  // sends close_notify; the peer's is not waited for
  ERR_clear_error();
}

}  // namespace sion
