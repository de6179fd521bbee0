// The client's TLS context: peer verification against the system trust store
// plus a CA file, or against the CA file alone (pinning). Built at the first TLS
// use after the settings changed, shared by every connection; a connection keeps
// the context it started with, so a change never pulls one from under it. It
// also keeps the client's TLS sessions per host:port so that later connections
// resume instead of doing a full handshake. Thread-safe.
#pragma once

#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>

#include <openssl/ssl.h>

#include "platform/sync/Mutex.h"

namespace sion {

struct TlsSettings {
  std::string caFile;   // PEM certificates to trust; empty: none
  bool caOnly = false;  // trust caFile alone, not the system store
  bool operator==(const TlsSettings& o) const { return caFile == o.caFile && caOnly == o.caOnly; }
};

class TlsContext {
 public:
  // The context for the settings in force, built when they changed since the
  // last one. Throws sion::Error when it cannot be built (for example an
  // unreadable CA file); every later call with the same settings throws the same.
  static std::shared_ptr<TlsContext> Get();

  // Connections started from now on use a context for these settings. Until the
  // first call: the CA file of NIMOSDK_CA_FILE, with the system store.
  static void Configure(const TlsSettings& settings);

  // Test seam: as Configure with the system store, but only before the first
  // TLS use; false when a context already exists.
  static bool UseCaFile(const std::string& path);

  // Whether path holds at least one PEM certificate and is of a sane size; why
  // not, otherwise. Reads the file.
  static bool CheckCaFile(const std::string& path, std::string* why);

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
  ~TlsContext();

 private:
  TlsContext() = default;
  void Build(const TlsSettings& settings);
  static int OnNewSession(SSL* ssl, SSL_SESSION* session);

  // Constant after construction.
  TlsSettings settings_;
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
