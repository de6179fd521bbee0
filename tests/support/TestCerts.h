// Certificates made at test time with OpenSSL, for TLS tests of any area:
// a CA, server certificates signed by it, and certificates that a verifying
// client must refuse. Point the SDK at caFile with NIMOSDK_CA_FILE (before its
// first TLS use). Every key is EC P-256, so making a set takes milliseconds.
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

  // One set per process, made at the first call in a fresh folder under the
  // system temp folder, removed when the process exits.
  static const TestCerts& Get();
  // A fresh set written into dir (which must exist).
  static TestCerts MakeIn(const std::string& dir);
};

// A TLS server context presenting files.cert; the caller frees it with SSL_CTX_free.
SSL_CTX* NewServerContext(const CertFiles& files);

}  // namespace nimo_test
