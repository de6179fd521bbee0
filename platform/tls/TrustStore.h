// The system's trusted root certificates for TLS peer verification.
#pragma once

#include <openssl/ssl.h>

namespace nimo_tls {

// Adds the system's trusted roots to ctx's certificate store: OpenSSL's default
// paths on Linux, the "ROOT" system store on Windows. Called once per context
// (reading the store costs tens of milliseconds). False when none could be added;
// verification then fails, it is never turned off.
bool LoadSystemRoots(SSL_CTX* ctx);

}  // namespace nimo_tls
