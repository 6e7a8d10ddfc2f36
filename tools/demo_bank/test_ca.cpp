#include "tools/demo_bank/test_ca.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace demo_bank {

namespace {

std::string OpenSslError(const char* what) {
  char text[256] = {};
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  return std::string(what) + ": " + text;
}

bool Fail(std::string* error, const char* what) {
  if (error) *error = OpenSslError(what);
  return false;
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `key` named `commonName`, valid from an hour ago for 30 days, with a
// random serial number; not yet signed.
CertPtr NewCertificate(EVP_PKEY* key, const std::string& commonName) {
  CertPtr cert(X509_new());
  if (!cert) return nullptr;
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
  serial[0] &= 0x7F;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  if (!number) return nullptr;
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Haverly Demo Bank"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return cert;
}

}  // namespace

bool MakeAuthority(const std::string& commonName, Identity& out, std::string* error) {
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return Fail(error, "CA key");
  CertPtr cert = NewCertificate(key.get(), commonName);
  if (!cert) return Fail(error, "CA certificate");
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  if (!AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
      !AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") ||
      !AddExtension(cert.get(), cert.get(), NID_subject_key_identifier, "hash"))
    return Fail(error, "CA extensions");
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return Fail(error, "CA signature");
  out.key = std::move(key);
  out.cert = std::move(cert);
  return true;
}

bool MakeServerIdentity(const Identity& issuer, const std::string& commonName,
                        const std::vector<std::string>& dnsNames,
                        const std::vector<std::string>& ipAddresses, Identity& out,
                        std::string* error) {
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return Fail(error, "server key");
  CertPtr cert = NewCertificate(key.get(), commonName);
  if (!cert) return Fail(error, "server certificate");
  X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer.cert.get()));
  std::string names;
  auto add = [&names](const char* kind, const std::string& value) {
    if (!names.empty()) names += ',';
    names += kind;
    names += value;
  };
  for (const auto& dns : dnsNames) add("DNS:", dns);
  for (const auto& ip : ipAddresses) add("IP:", ip);
  if (!AddExtension(cert.get(), issuer.cert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
      !AddExtension(cert.get(), issuer.cert.get(), NID_key_usage,
                    "critical,digitalSignature,keyAgreement") ||
      !AddExtension(cert.get(), issuer.cert.get(), NID_ext_key_usage, "serverAuth") ||
      !AddExtension(cert.get(), issuer.cert.get(), NID_subject_key_identifier, "hash") ||
      !AddExtension(cert.get(), issuer.cert.get(), NID_authority_key_identifier, "keyid:always") ||
      (!names.empty() && !AddExtension(cert.get(), issuer.cert.get(), NID_subject_alt_name, names)))
    return Fail(error, "server extensions");
  if (X509_sign(cert.get(), issuer.key.get(), EVP_sha256()) == 0)
    return Fail(error, "server signature");
  out.key = std::move(key);
  out.cert = std::move(cert);
  return true;
}

bool WriteCertificatePem(X509* cert, const std::string& file, std::string* error) {
  FILE* out = std::fopen(file.c_str(), "w");
  if (!out) {
    if (error) *error = "cannot write " + file;
    return false;
  }
  bool ok = PEM_write_X509(out, cert) == 1;
  ok = std::fclose(out) == 0 && ok;
  if (!ok && error) *error = "cannot write " + file;
  return ok;
}

}  // namespace demo_bank
