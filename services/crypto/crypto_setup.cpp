#include "services/crypto/crypto_setup.h"

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <mutex>

namespace {
std::mutex g_providerMutex;
OSSL_PROVIDER* g_default = nullptr;
OSSL_PROVIDER* g_legacy = nullptr;
}  // namespace

bool RegisterCryptoAlgorithms() {
  std::lock_guard lock(g_providerMutex);
  if (!g_default) g_default = OSSL_PROVIDER_load(nullptr, "default");
  if (!g_legacy) g_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  if (!g_default || !g_legacy) return false;
  for (const char* name : {"MD4", "MD5", "SHA1", "SHA256"}) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    if (!md) return false;
    EVP_MD_free(md);
  }
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  if (!cipher) return false;
  EVP_CIPHER_free(cipher);
  return true;
}
