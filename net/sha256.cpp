#include "net/sha256.h"

#include <cstdint>
#include <vector>

void Sha256Begin(Sha256& state) {
    // A hash begun anew: the old hash goes before the provider it came from.
    state.ok = false;
    state.hash.reset();
    state.algorithm.reset();
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return;
    state.algorithm.reset(algorithm);
    // No buffer of ours: CNG allocates the object (Windows 7 on) and frees it
    // in BCryptDestroyHash, so no memory of ours outlives or underlies it.
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))
        return;
    state.hash.reset(hash);
    state.ok = true;
}

void Sha256Add(Sha256& state, const void* data, ULONG size) {
    if (!state.ok)
        return;
    // CNG takes the input as non-const; it only reads it.
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    state.ok = BCRYPT_SUCCESS(BCryptHashData(state.hash.get(), bytes, size, 0));
}

bool Sha256Finish(Sha256& state, Sha256Digest& digest) {
    if (!state.ok)
        return false;
    state.ok = BCRYPT_SUCCESS(
        BCryptFinishHash(state.hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
    return state.ok;
}

bool Sha256OfFile(HANDLE file, Sha256Digest& digest) {
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;
    Sha256 state;
    Sha256Begin(state);
    std::vector<std::uint8_t> block(64 * 1024);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, block.data(), static_cast<DWORD>(block.size()), &read, nullptr))
            return false;
        if (read == 0)
            break;
        Sha256Add(state, block.data(), read);
    }
    return Sha256Finish(state, digest);
}
