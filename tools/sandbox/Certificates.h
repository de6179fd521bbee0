// The sandbox's own small PKI: a CA and a server certificate for 127.0.0.1 and
// localhost, made on first start in the state folder and reused afterwards.
#pragma once

#include <string>

namespace nimo_sandbox {

struct CertificatePaths {
  std::string caCert;      // what a client trusts (NIMOSDK_CA_FILE)
  std::string serverCert;  // leaf certificate, PEM
  std::string serverKey;   // its private key, PEM, mode 0600
};

// Reuses the files in dir when they still form a valid pair (server certificate
// signed by the CA, matching key, not expired); otherwise writes new ones.
bool EnsureCertificates(const std::string& dir, CertificatePaths* out, std::string* error);

}  // namespace nimo_sandbox
