// Certificates made at test time: a CA, a server certificate by it, and certificates a verifying client
// must refuse. Point the SDK at caFile with NIMOSDK_CA_FILE before its first TLS use. Keys are EC P-256.
#pragma once

#include <string>

#include <openssl/ssl.h>

namespace nimo_test {

struct CertFiles {
  std::string cert;  // PEM certificate
  std::string key;   // PEM private key
};

struct TestCerts {
  std::string caFile;      // the test CA's certificate (trust this)
  CertFiles server;        // by the CA, for "localhost" and 127.0.0.1
  CertFiles otherName;     // by the CA, for "other.test" only
  CertFiles selfSigned;    // for "localhost" and 127.0.0.1, signed by itself
  CertFiles expired;       // by the CA, for "localhost" and 127.0.0.1, expired yesterday
  CertFiles nameOnlyInCn;  // by the CA, common name "localhost", no alternative names

  // One set per process, made at the first call in a fresh temp folder removed at exit.
  static const TestCerts& Get();
};

// A TLS server context presenting files.cert; the caller frees it with SSL_CTX_free.
SSL_CTX* NewServerContext(const CertFiles& files);

}  // namespace nimo_test
