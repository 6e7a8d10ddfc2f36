// Makes the cipher and digests the programs use available by name: AES-256-CBC, MD4, MD5,
// SHA-1 and SHA-256. With OpenSSL 3 this means loading the default provider and the legacy
// provider (MD4 lives there).
#pragma once

// True when every algorithm can be fetched by name afterwards. The providers stay loaded
// until the process ends, when the library releases them itself: unloading them earlier
// (at the start of the exit sequence) would pull them from under asynchronous calls that
// may still be downloading or hashing, and would leave the process with no provider at all,
// not even for TLS.
bool RegisterCryptoAlgorithms();
