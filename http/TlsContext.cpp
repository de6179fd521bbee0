#include "http/TlsContext.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <openssl/err.h>

#include "http/Error.h"
#include "http/TlsBio.h"
#include "platform/tls/TrustStore.h"

namespace sion {
namespace {

constexpr std::size_t kMaxHosts = 32;           // the SDK talks to two
constexpr std::size_t kSessionsPerHost = 8;     // enough for six workers resuming at once

nimo_sync::Mutex gSetupMutex;
bool gBuilt = false;             // guarded by gSetupMutex
bool gCaOverridden = false;      // guarded by gSetupMutex
std::string gCaOverride;         // guarded by gSetupMutex
std::once_flag gOnce;
TlsContext* gContext = nullptr;  // set once under gOnce, never freed

// OpenSSL frees its global state in an atexit handler by default, while a
// worker of ours may still be inside a handshake when the game exits without
// Exit: keep it for the process instead. Done at load, since only the first
// initialisation in the process decides.
const bool gOpenSslKeptForTheProcess =
    OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                     nullptr) == 1;

bool Usable(SSL_SESSION* s) {
  if (SSL_SESSION_is_resumable(s) != 1) return false;
  const long expires = SSL_SESSION_get_time(s) + SSL_SESSION_get_timeout(s);
  return static_cast<long>(std::time(nullptr)) < expires;
}

}  // namespace

bool TlsContext::UseCaFile(const std::string& path) {
  nimo_sync::MutexLock lock(gSetupMutex);
  if (gBuilt) return false;
  gCaOverridden = true;
  gCaOverride = path;
  return true;
}

TlsContext& TlsContext::Get() {
  std::call_once(gOnce, [] {
    std::string caFile;
    {
      nimo_sync::MutexLock lock(gSetupMutex);
      gBuilt = true;
      if (gCaOverridden) {
        caFile = gCaOverride;
      } else if (const char* env = std::getenv("NIMOSDK_CA_FILE")) {
        caFile = env;
      }
    }
    auto* context = new TlsContext();
    context->Build(caFile);
    gContext = context;
  });
  if (!gContext->error_.empty()) throw Error(gContext->error_, ErrorKind::Tls, "TLS set-up failed (context or CA file)");
  return *gContext;
}

void TlsContext::Build(const std::string& caFile) {
  (void)gOpenSslKeptForTheProcess;
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  bio_ = NewSocketBioMethod();
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (ctx_ == nullptr || bio_ == nullptr) {
    error_ = "openssl初始化异常";
    return;
  }
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  // Loaded once here: reading the system store costs tens of milliseconds.
  nimo_tls::LoadSystemRoots(ctx_);
  if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx_, caFile.c_str(), nullptr) != 1) {
    error_ = "openssl初始化异常:无法读取CA文件 " + caFile + " " + OpenSslErrorText();
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
  if (key == nullptr || gContext == nullptr) return 0;
  gContext->PutSession(*key, session);
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
