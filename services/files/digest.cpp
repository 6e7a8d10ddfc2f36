#include "services/files/digest.h"

#include <openssl/evp.h>

#include <memory>

#include "services/files/file_helpers.h"

namespace {

const char* DigestName(int type) {
  switch (type) {
    case kDigestMd4: return "MD4";
    case kDigestMd5: return "MD5";
    case kDigestSha1: return "SHA1";
    case kDigestSha256: return "SHA256";
    default: return nullptr;
  }
}

}  // namespace

std::string DigestHex(std::string_view bytes, int type) {
  const char* name = DigestName(type);
  if (!name) return {};
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, name, nullptr),
                                                     &EVP_MD_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!md || !ctx) return {};
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), value, &length) != 1)
    return {};
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[value[i] >> 4];
    hex += kHex[value[i] & 0xF];
  }
  return hex;
}

std::string FileDigestHex(std::u16string_view path, int type) {
  if (!DigestName(type)) return {};
  std::string bytes;
  if (ReadWholeFile(path, bytes, FILE_ATTRIBUTE_NORMAL) < 0) return {};
  return DigestHex(bytes, type);
}
