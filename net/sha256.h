#pragma once
// SHA-256 with the platform's own crypto (CNG), for checking that the file
// about to be started holds exactly the bytes that were downloaded.

#include <windows.h>

#include <bcrypt.h>

#include <array>

#include "base/unique_handle.h"

using Sha256Digest = std::array<unsigned char, 32>;

namespace sha256_detail {
inline void CloseAlgorithm(BCRYPT_ALG_HANDLE algorithm) {
    BCryptCloseAlgorithmProvider(algorithm, 0);
}
} // namespace sha256_detail

// One running hash. Sha256Begin fills it (anew, when it held one); Sha256Add
// feeds it; Sha256Finish gives the digest. Any failure leaves `ok` false for good. CNG allocates
// the hash object itself, so the hash lives exactly as long as its handle; the handle is declared
// after the provider, so it is destroyed first.
struct Sha256 {
    UniqueAny<BCRYPT_ALG_HANDLE, sha256_detail::CloseAlgorithm> algorithm;
    UniqueAny<BCRYPT_HASH_HANDLE, BCryptDestroyHash> hash;
    bool ok = false;
};

void Sha256Begin(Sha256& state);
void Sha256Add(Sha256& state, const void* data, ULONG size);
bool Sha256Finish(Sha256& state, Sha256Digest& digest);

// Hashes the whole file behind `file` from its start, through that handle.
bool Sha256OfFile(HANDLE file, Sha256Digest& digest);
