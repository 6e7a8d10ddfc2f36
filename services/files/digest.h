// Hex digests with which downloads are verified, through OpenSSL's EVP interface. MD4
// comes from OpenSSL's legacy provider: start-up loads it (RegisterCryptoAlgorithms);
// without it type 0 yields empty text.
#pragma once

#include <string>
#include <string_view>

enum DigestType : int { kDigestMd4 = 0, kDigestMd5 = 1, kDigestSha1 = 2, kDigestSha256 = 3 };

// Lower-case hexadecimal, two characters per byte; empty for any other type or when the
// digest is not available.
std::string DigestHex(std::string_view bytes, int type);

// The digest of the file's contents (read with ReadWholeFile); empty when the file cannot
// be read.
std::string FileDigestHex(std::u16string_view path, int type);
