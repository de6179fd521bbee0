#include "tools/sandbox/Certificates.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

#include "tools/sandbox/StateFile.h"

namespace nimo_sandbox {
namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(FILE* p) const { std::fclose(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Free>;
using Cert = std::unique_ptr<X509, Free>;
using File = std::unique_ptr<FILE, Free>;

std::string OpenSslError(const std::string& what) {
  unsigned long e = ERR_get_error();
  char buf[256] = {0};
  if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return what + (e != 0 ? std::string(": ") + buf : std::string());
}

Cert ReadCert(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return nullptr;
  return Cert(PEM_read_X509(f.get(), nullptr, nullptr, nullptr));
}

Key ReadKey(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return nullptr;
  return Key(PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr));
}

bool StillGood(const std::string& dir, const CertificatePaths& p) {
  Cert ca = ReadCert(p.caCert), leaf = ReadCert(p.serverCert);
  Key key = ReadKey(p.serverKey), caKey = ReadKey(dir + "/ca.key");
  if (!ca || !leaf || !key || !caKey) return false;
  EVP_PKEY* caPub = X509_get0_pubkey(ca.get());
  bool ok = caPub != nullptr && X509_verify(leaf.get(), caPub) == 1 && X509_check_private_key(leaf.get(), key.get()) == 1 &&
            X509_check_private_key(ca.get(), caKey.get()) == 1 &&
            X509_cmp_current_time(X509_get0_notAfter(leaf.get())) > 0 &&
            X509_cmp_current_time(X509_get0_notAfter(ca.get())) > 0 &&
            X509_check_ip_asc(leaf.get(), "127.0.0.1", 0) == 1;
  ERR_clear_error();
  return ok;
}

bool AddExt(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

Cert MakeCert(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, bool isCa) {
  Cert cert(X509_new());
  if (!cert) return nullptr;
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
  serial[0] &= 0x7F;  // positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
  BN_free(bn);
  X509_NAME* name = X509_get_subject_name(cert.get());
  ok = ok && X509_set_version(cert.get(), 2) == 1 &&
       X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
       X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600) != nullptr &&
       X509_set_pubkey(cert.get(), key) == 1 &&
       X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>("nimosdk64 sandbox"), -1, -1, 0) == 1 &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1,
                                  -1, 0) == 1;
  X509* signer = issuer != nullptr ? issuer : cert.get();
  ok = ok && X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1;
  if (isCa) {
    ok = ok && AddExt(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
         AddExt(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
         AddExt(cert.get(), signer, NID_subject_key_identifier, "hash");
  } else {
    ok = ok && AddExt(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
         AddExt(cert.get(), signer, NID_key_usage, "critical,digitalSignature") &&
         AddExt(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
         AddExt(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") &&
         AddExt(cert.get(), signer, NID_subject_key_identifier, "hash") &&
         AddExt(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  }
  ok = ok && X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0;
  return ok ? std::move(cert) : nullptr;
}

bool WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  std::string tmp = path + ".tmp";
  File f(std::fopen(tmp.c_str(), "wb"));
  if (!f) return false;
  if (key != nullptr) MakePrivate(tmp);
  bool ok = cert != nullptr ? PEM_write_X509(f.get(), cert) == 1
                            : PEM_write_PrivateKey(f.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  ok = std::fflush(f.get()) == 0 && ok;
  f.reset();
  return ok && MoveOver(tmp, path);
}

}  // namespace

bool EnsureCertificates(const std::string& dir, CertificatePaths* out, std::string* error) {
  CertificatePaths p{dir + "/ca.pem", dir + "/server.pem", dir + "/server.key"};
  if (StillGood(dir, p)) {
    *out = p;
    return true;
  }
  // P-256 keys: a handshake costs little, which matters when thousands of events arrive.
  Key caKey(EVP_EC_gen("P-256"));
  Key serverKey(EVP_EC_gen("P-256"));
  if (!caKey || !serverKey) {
    *error = OpenSslError("key generation failed");
    return false;
  }
  Cert ca = MakeCert(caKey.get(), "nimo-sandbox CA", nullptr, nullptr, true);
  Cert leaf = ca ? MakeCert(serverKey.get(), "localhost", ca.get(), caKey.get(), false) : nullptr;
  if (!ca || !leaf) {
    *error = OpenSslError("certificate creation failed");
    return false;
  }
  if (!WritePem(dir + "/ca.key", nullptr, caKey.get()) || !WritePem(p.serverKey, nullptr, serverKey.get()) ||
      !WritePem(p.serverCert, leaf.get(), nullptr) || !WritePem(p.caCert, ca.get(), nullptr)) {
    *error = "cannot write the certificates to " + dir;
    return false;
  }
  *out = p;
  return true;
}

}  // namespace nimo_sandbox
