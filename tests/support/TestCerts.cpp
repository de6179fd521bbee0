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

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

void Require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
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

struct Made {
  Key key{nullptr, EVP_PKEY_free};
  Cert cert{nullptr, X509_free};
};

// issuer null: self-signed. The validity runs from fromDays to toDays, relative to now.
Made MakeCert(const char* commonName, const char* altNames, bool isCa, const Made* issuer, long fromDays,
              long toDays) {
  static long serial = 1000;
  Made m;
  m.key.reset(EVP_EC_gen("P-256"));
  m.cert.reset(X509_new());
  Require(m.key != nullptr && m.cert != nullptr, "key generation");
  X509* c = m.cert.get();
  X509_set_version(c, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(c), fromDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(c), toDays * 86400L);
  X509_set_pubkey(c, m.key.get());
  X509_NAME_add_entry_by_txt(X509_get_subject_name(c), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer->cert.get() : c;
  X509_set_issuer_name(c, X509_get_subject_name(signer));
  AddExtension(c, signer, NID_basic_constraints, isCa ? "critical,CA:TRUE" : "critical,CA:FALSE");
  if (isCa) {
    AddExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(c, signer, NID_ext_key_usage, "serverAuth");
  }
  AddExtension(c, signer, NID_subject_key_identifier, "hash");
  if (altNames != nullptr) AddExtension(c, signer, NID_subject_alt_name, altNames);
  Require(X509_sign(c, issuer != nullptr ? issuer->key.get() : m.key.get(), EVP_sha256()) > 0, "sign");
  return m;
}

// Writes the certificate, and the key unless keyPath is empty.
void Write(const Made& m, const std::string& certPath, const std::string& keyPath) {
  FILE* f = std::fopen(certPath.c_str(), "w");
  Require(f != nullptr && PEM_write_X509(f, m.cert.get()) == 1, "write certificate");
  std::fclose(f);
  if (keyPath.empty()) return;
  f = std::fopen(keyPath.c_str(), "w");
  Require(f != nullptr && PEM_write_PrivateKey(f, m.key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "write key");
  std::fclose(f);
}

TestCerts MakeIn(const std::string& dir) {
  const char* kLocal = "DNS:localhost,IP:127.0.0.1";
  TestCerts out;
  Made ca = MakeCert("nimo test CA", nullptr, true, nullptr, -1, 30);
  out.caFile = dir + "/ca.pem";
  Write(ca, out.caFile, "");
  const struct {
    CertFiles* files;
    const char* name;
    const char* commonName;
    const char* altNames;
    bool byCa;
    long fromDays, toDays;
  } leaves[] = {
      {&out.server, "server", "localhost", kLocal, true, -1, 30},
      {&out.otherName, "other", "other.test", "DNS:other.test", true, -1, 30},
      {&out.selfSigned, "selfsigned", "localhost", kLocal, false, -1, 30},
      {&out.expired, "expired", "localhost", kLocal, true, -3, -1},
      {&out.nameOnlyInCn, "cnonly", "localhost", nullptr, true, -1, 30},
  };
  for (const auto& leaf : leaves) {
    *leaf.files = {dir + "/" + leaf.name + ".pem", dir + "/" + leaf.name + ".key"};
    Made m = MakeCert(leaf.commonName, leaf.altNames, false, leaf.byCa ? &ca : nullptr, leaf.fromDays, leaf.toDays);
    Write(m, leaf.files->cert, leaf.files->key);
  }
  return out;
}

}  // namespace

const TestCerts& TestCerts::Get() {
  static std::string dir = (std::filesystem::temp_directory_path() / "nimo-certs-XXXXXX").string();
  static const TestCerts certs = [] {
    Require(mkdtemp(dir.data()) != nullptr, "temp folder");
    std::atexit([] {  // the folder goes with the process
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    });
    return MakeIn(dir);
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
