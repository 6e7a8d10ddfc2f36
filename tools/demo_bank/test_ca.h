// The demo bank's own certificate authorities, made fresh at every start with OpenSSL:
// nothing secret is ever written to disk (only the trusted CA's certificate, which clients
// need).
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace demo_bank {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;

struct Identity {
  KeyPtr key;
  CertPtr cert;
};

// A self-signed certificate authority named `commonName` (P-256 key, 30 days).
bool MakeAuthority(const std::string& commonName, Identity& out, std::string* error);

// A server certificate issued by `issuer` for the given DNS names and IP addresses.
bool MakeServerIdentity(const Identity& issuer, const std::string& commonName,
                        const std::vector<std::string>& dnsNames,
                        const std::vector<std::string>& ipAddresses, Identity& out,
                        std::string* error);

// Writes the certificate as PEM.
bool WriteCertificatePem(X509* cert, const std::string& file, std::string* error);

}  // namespace demo_bank
