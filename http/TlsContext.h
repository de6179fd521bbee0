// The process's one TLS client context: peer verification against the system
// trust store (plus the CA file of NIMOSDK_CA_FILE when set), built once at the
// first TLS use, shared by every connection. It also keeps the client's TLS
// sessions per host:port so that later connections resume instead of doing a
// full handshake. Thread-safe.
#pragma once

#include <deque>
#include <list>
#include <map>
#include <string>

#include <openssl/ssl.h>

#include "platform/sync/Mutex.h"

namespace sion {

class TlsContext {
 public:
  // The shared context, built at the first call. Throws sion::Error when it
  // cannot be built (for example an unreadable CA file); every later call
  // throws the same.
  static TlsContext& Get();

  // Test and deployment seam: the CA file to trust in addition to the system
  // store, used instead of NIMOSDK_CA_FILE. Only effective before the first
  // TLS use; returns false when the context already exists.
  static bool UseCaFile(const std::string& path);

  SSL_CTX* Ctx() const { return ctx_; }
  // A BIO method over our non-blocking sockets that never raises SIGPIPE.
  BIO_METHOD* SocketBio() const { return bio_; }

  // A session to offer for key (host:port), or null; the caller owns the
  // reference. TLS 1.3 tickets are handed out once, as RFC 8446 advises.
  SSL_SESSION* TakeSession(const std::string& key);
  // Keeps session (takes over the caller's reference).
  void PutSession(const std::string& key, SSL_SESSION* session);
  // Attaches key to ssl so that tickets arriving later are stored under it;
  // key must outlive ssl.
  static void BindSessionKey(SSL* ssl, const std::string* key);

  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

 private:
  TlsContext() = default;
  ~TlsContext() = default;  // lives for the process: workers may still use it during exit
  void Build(const std::string& caFile);
  static int OnNewSession(SSL* ssl, SSL_SESSION* session);

  // Constant after construction.
  SSL_CTX* ctx_ = nullptr;
  BIO_METHOD* bio_ = nullptr;
  std::string error_;  // why the context could not be built, empty when it was

  nimo_sync::Mutex mutex_;
  std::map<std::string, std::deque<SSL_SESSION*>> sessions_ GUARDED_BY(mutex_);
  std::list<std::string> keyOrder_ GUARDED_BY(mutex_);  // oldest first
};

}  // namespace sion

namespace sion {
// The text of the first error queued by OpenSSL on this thread (the queue is
// then cleared), or "".
std::string OpenSslErrorText();
}  // namespace sion
