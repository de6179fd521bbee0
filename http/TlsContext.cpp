#include "http/TlsContext.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "http/Error.h"
#include "http/TlsBio.h"
#include "platform/sys/Environment.h"
#include "platform/tls/TrustStore.h"

namespace sion {
namespace {

constexpr std::size_t kMaxHosts = 32;           // the SDK talks to two
constexpr std::size_t kSessionsPerHost = 8;     // enough for six workers resuming at once
constexpr long kMaxCaFileBytes = 1L << 20;      // a bundle of every public root is ~250 KB

// Never destroyed: workers may still connect while the process ends without Exit.
struct Setup {
  nimo_sync::Mutex mutex;
  bool configured GUARDED_BY(mutex) = false;
  TlsSettings wanted GUARDED_BY(mutex);
  std::shared_ptr<TlsContext> current GUARDED_BY(mutex);
  bool everBuilt GUARDED_BY(mutex) = false;
};
Setup& Shared() {
  static Setup* const setup = new Setup();
  return *setup;
}

// OpenSSL frees its global state in an atexit handler by default, while a
// worker of ours may still be inside a handshake when the game exits without
// Exit: keep it for the process instead. Done at load, since only the first
// initialisation in the process decides.
const bool gOpenSslKeptForTheProcess =
    OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                     nullptr) == 1;

// One for the process: BIO type numbers are few, and contexts come and go.
BIO_METHOD* SharedBioMethod() {
  static BIO_METHOD* const method = NewSocketBioMethod();
  return method;
}

bool Usable(SSL_SESSION* s) {
  if (SSL_SESSION_is_resumable(s) != 1) return false;
  const long expires = SSL_SESSION_get_time(s) + SSL_SESSION_get_timeout(s);
  return static_cast<long>(std::time(nullptr)) < expires;
}

// Adds the PEM certificates of path to store (null: only counts them); read
// whole but bounded before it is parsed. The number added, or -1 with why.
int LoadCaFile(const std::string& path, X509_STORE* store, std::string* why) {
  BIO* file = BIO_new_file(path.c_str(), "rb");
  if (file == nullptr) {
    *why = "无法读取CA文件 " + path + " " + OpenSslErrorText();
    return -1;
  }
  std::string bytes;
  char chunk[16384];
  int n = 0;
  while ((n = BIO_read(file, chunk, sizeof chunk)) > 0 && static_cast<long>(bytes.size()) <= kMaxCaFileBytes) {
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  BIO_free(file);
  if (static_cast<long>(bytes.size()) > kMaxCaFileBytes) {
    *why = "CA文件过大 " + path;
    return -1;
  }
  BIO* mem = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
  STACK_OF(X509_INFO)* infos = mem != nullptr ? PEM_X509_INFO_read_bio(mem, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(mem);
  int added = 0;
  bool failed = infos == nullptr;
  for (int i = 0; infos != nullptr && i < sk_X509_INFO_num(infos); ++i) {
    X509* cert = sk_X509_INFO_value(infos, i)->x509;
    if (cert == nullptr) continue;
    if (store != nullptr && X509_STORE_add_cert(store, cert) != 1) failed = true;
    ++added;
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  ERR_clear_error();
  if (failed || added == 0) {
    *why = "CA文件中没有可用的证书 " + path;
    return -1;
  }
  return added;
}

}  // namespace

bool TlsContext::CheckCaFile(const std::string& path, std::string* why) {
  std::string ignored;
  return LoadCaFile(path, nullptr, why != nullptr ? why : &ignored) > 0;
}

void TlsContext::Configure(const TlsSettings& settings) {
  Setup& g = Shared();
  nimo_sync::MutexLock lock(g.mutex);
  g.configured = true;
  g.wanted = settings;
}

bool TlsContext::UseCaFile(const std::string& path) {
  Setup& g = Shared();
  nimo_sync::MutexLock lock(g.mutex);
  if (g.everBuilt) return false;
  g.configured = true;
  g.wanted = TlsSettings{path, false};
  return true;
}

std::shared_ptr<TlsContext> TlsContext::Get() {
  std::shared_ptr<TlsContext> context;
  {
    // Built under the lock: concurrent first connections share one build.
    Setup& g = Shared();
    nimo_sync::MutexLock lock(g.mutex);
    if (!g.configured) {
      g.configured = true;
      nimo_sys::ReadEnvironment("NIMOSDK_CA_FILE", &g.wanted.caFile);
    }
    if (g.current == nullptr || !(g.current->settings_ == g.wanted)) {
      std::shared_ptr<TlsContext> fresh(new TlsContext());
      fresh->Build(g.wanted);
      g.current = std::move(fresh);
      g.everBuilt = true;
    }
    context = g.current;
  }
  if (!context->error_.empty()) throw Error(context->error_, ErrorKind::Tls, "TLS set-up failed (context or CA file)");
  return context;
}

TlsContext::~TlsContext() {
  nimo_sync::MutexLock lock(mutex_);
  for (auto& [key, queue] : sessions_) {
    for (SSL_SESSION* s : queue) SSL_SESSION_free(s);
  }
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
}

void TlsContext::Build(const TlsSettings& settings) {
  (void)gOpenSslKeptForTheProcess;
  settings_ = settings;
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  bio_ = SharedBioMethod();
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (ctx_ == nullptr || bio_ == nullptr) {
    error_ = "openssl初始化异常";
    return;
  }
  SSL_CTX_set_app_data(ctx_, this);
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  // Pinned: the CA file's certificates are the only anchors, so a root the
  // machine trusts (or was made to trust) cannot vouch for our servers.
  if (!settings.caOnly) nimo_tls::LoadSystemRoots(ctx_);
  std::string why;
  if (!settings.caFile.empty() && LoadCaFile(settings.caFile, SSL_CTX_get_cert_store(ctx_), &why) < 0) {
    error_ = "openssl初始化异常:" + why;
    return;
  }
  SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx_, &TlsContext::OnNewSession);
}

void TlsContext::BindSessionKey(SSL* ssl, const std::string* key) {
  SSL_set_app_data(ssl, const_cast<std::string*>(key));
}

int TlsContext::OnNewSession(SSL* ssl, SSL_SESSION* session) {
  const auto* key = static_cast<const std::string*>(SSL_get_app_data(ssl));
  // The connection holds its context for as long as its SSL lives.
  auto* context = static_cast<TlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (key == nullptr || context == nullptr) return 0;
  context->PutSession(*key, session);
  return 1;  // the reference is ours now
}

SSL_SESSION* TlsContext::TakeSession(const std::string& key) {
  nimo_sync::MutexLock lock(mutex_);
  auto it = sessions_.find(key);
  if (it == sessions_.end()) return nullptr;
  auto& queue = it->second;
  while (!queue.empty()) {
    SSL_SESSION* s = queue.back();
    if (!Usable(s)) {
      queue.pop_back();
      SSL_SESSION_free(s);
      continue;
    }
    if (SSL_SESSION_get_protocol_version(s) >= TLS1_3_VERSION) {
      queue.pop_back();  // single use; the server sends fresh tickets on every connection
      return s;
    }
    SSL_SESSION_up_ref(s);  // TLS 1.2 sessions are resumed again and again
    return s;
  }
  return nullptr;
}

void TlsContext::PutSession(const std::string& key, SSL_SESSION* session) {
  nimo_sync::MutexLock lock(mutex_);
  auto it = sessions_.find(key);
  if (it == sessions_.end()) {
    if (keyOrder_.size() >= kMaxHosts) {
      auto oldest = sessions_.find(keyOrder_.front());
      for (SSL_SESSION* s : oldest->second) SSL_SESSION_free(s);
      sessions_.erase(oldest);
      keyOrder_.pop_front();
    }
    it = sessions_.emplace(key, std::deque<SSL_SESSION*>()).first;
    keyOrder_.push_back(key);
  }
  it->second.push_back(session);
  if (it->second.size() > kSessionsPerHost) {
    SSL_SESSION_free(it->second.front());
    it->second.pop_front();
  }
}

std::string OpenSslErrorText() {
  unsigned long code = ERR_get_error();
  if (code == 0) return {};
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

}  // namespace sion
