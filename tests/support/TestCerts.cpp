#include "support/TestCerts.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace nimo_test {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

Key NewKey() {
  Key key(EVP_EC_gen("P-256"));
  Require(key != nullptr, "key generation");
  return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  Require(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// issuer/issuerKey null: self-signed. validFromDays/validToDays relative to now.
Cert MakeCert(EVP_PKEY* key, const char* commonName, const char* altNames, bool isCa, X509* issuer,
              EVP_PKEY* issuerKey, long validFromDays, long validToDays) {
  static long serial = 1000;
  Cert cert(X509_new());
  Require(cert != nullptr, "X509_new");
  X509* c = cert.get();
  X509_set_version(c, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(c), validFromDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(c), validToDays * 86400L);
  X509_set_pubkey(c, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(c), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : c;
  X509_set_issuer_name(c, X509_get_subject_name(signer));
  if (isCa) {
    AddExtension(c, signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(c, signer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(c, signer, NID_ext_key_usage, "serverAuth");
  }
  AddExtension(c, signer, NID_subject_key_identifier, "hash");
  if (altNames != nullptr) AddExtension(c, signer, NID_subject_alt_name, altNames);
  Require(X509_sign(c, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0, "sign");
  return cert;
}

void WriteCert(const std::string& path, X509* cert) {
  FILE* f = std::fopen(path.c_str(), "w");
  Require(f != nullptr, "open certificate file");
  bool ok = PEM_write_X509(f, cert) == 1;
  std::fclose(f);
  Require(ok, "write certificate");
}

void WriteKey(const std::string& path, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  Require(f != nullptr, "open key file");
  bool ok = PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  std::fclose(f);
  Require(ok, "write key");
}

CertFiles WritePair(const std::string& dir, const std::string& name, X509* cert, EVP_PKEY* key) {
  CertFiles files{dir + "/" + name + ".pem", dir + "/" + name + ".key"};
  WriteCert(files.cert, cert);
  WriteKey(files.key, key);
  return files;
}

// Removes the per-process folder at exit.
struct TempDir {
  std::string path;
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

TestCerts TestCerts::MakeIn(const std::string& dir) {
  const char* kLocal = "DNS:localhost,IP:127.0.0.1";
  TestCerts out;
  out.dir = dir;

  Key caKey = NewKey();
  Cert ca = MakeCert(caKey.get(), "nimo test CA", nullptr, true, nullptr, nullptr, -1, 30);
  out.caFile = dir + "/ca.pem";
  WriteCert(out.caFile, ca.get());

  Key serverKey = NewKey();
  Cert server = MakeCert(serverKey.get(), "localhost", kLocal, false, ca.get(), caKey.get(), -1, 30);
  out.server = WritePair(dir, "server", server.get(), serverKey.get());

  Key otherKey = NewKey();
  Cert other = MakeCert(otherKey.get(), "other.test", "DNS:other.test", false, ca.get(), caKey.get(), -1, 30);
  out.otherName = WritePair(dir, "other", other.get(), otherKey.get());

  Key selfKey = NewKey();
  Cert self = MakeCert(selfKey.get(), "localhost", kLocal, false, nullptr, nullptr, -1, 30);
  out.selfSigned = WritePair(dir, "selfsigned", self.get(), selfKey.get());

  Key oldKey = NewKey();
  Cert old = MakeCert(oldKey.get(), "localhost", kLocal, false, ca.get(), caKey.get(), -3, -1);
  out.expired = WritePair(dir, "expired", old.get(), oldKey.get());

  Key cnKey = NewKey();
  Cert cnOnly = MakeCert(cnKey.get(), "localhost", nullptr, false, ca.get(), caKey.get(), -1, 30);
  out.nameOnlyInCn = WritePair(dir, "cnonly", cnOnly.get(), cnKey.get());
  return out;
}

const TestCerts& TestCerts::Get() {
  static TempDir temp;
  static const TestCerts certs = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "nimo-certs-XXXXXX").string();
    Require(mkdtemp(pattern.data()) != nullptr, "temp folder");
    temp.path = pattern;
    return MakeIn(pattern);
  }();
  return certs;
}

SSL_CTX* NewServerContext(const CertFiles& files) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  Require(ctx != nullptr, "server context");
  Require(SSL_CTX_use_certificate_file(ctx, files.cert.c_str(), SSL_FILETYPE_PEM) == 1, "server certificate");
  Require(SSL_CTX_use_PrivateKey_file(ctx, files.key.c_str(), SSL_FILETYPE_PEM) == 1, "server key");
  return ctx;
}

}  // namespace nimo_test
