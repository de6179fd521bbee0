#include "platform/tls/TrustStore.h"

namespace nimo_tls {

bool LoadSystemRoots(SSL_CTX* ctx) { return SSL_CTX_set_default_verify_paths(ctx) == 1; }

}  // namespace nimo_tls
