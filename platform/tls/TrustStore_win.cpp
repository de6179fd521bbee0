// windows.h and wincrypt.h first: OpenSSL's headers undo the names wincrypt.h
// defines that clash with theirs (X509_NAME ...), but only when they come later.
#include <windows.h>
#include <wincrypt.h>

#include "platform/tls/TrustStore.h"

#include <openssl/x509.h>

namespace nimo_tls {

bool LoadSystemRoots(SSL_CTX* ctx) {
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  HCERTSTORE system = CertOpenSystemStoreW(0, L"ROOT");
  if (store == nullptr || system == nullptr) return false;
  int added = 0;
  for (PCCERT_CONTEXT cert = CertEnumCertificatesInStore(system, nullptr); cert != nullptr;
       cert = CertEnumCertificatesInStore(system, cert)) {
    const unsigned char* der = cert->pbCertEncoded;
    X509* x = d2i_X509(nullptr, &der, static_cast<long>(cert->cbCertEncoded));
    if (x == nullptr) continue;  // a certificate OpenSSL cannot read is skipped
    if (X509_STORE_add_cert(store, x) == 1) ++added;
    X509_free(x);
  }
  CertCloseStore(system, 0);
  return added > 0;
}

}  // namespace nimo_tls
