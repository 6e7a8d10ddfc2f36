// Makes the cipher and digests the programs use available by name: AES-256-CBC, MD4, MD5,
// SHA-1 and SHA-256. With OpenSSL 3 this means loading the default provider and the legacy
// provider (MD4 lives there).
#pragma once

// True when every algorithm can be fetched by name afterwards.
bool RegisterCryptoAlgorithms();
// Releases the providers at exit.
void CleanupCryptoAlgorithms();
