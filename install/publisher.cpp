#include "install/publisher.h"

#include <windows.h>

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/separated.h"

namespace {

int HexValue(char digit) {
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + 10;
    return -1;
}

// Whether `text` (64 characters) is the hex form of `digest`.
bool HexNames(const char* text, const Sha256Digest& digest) {
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = HexValue(text[2 * i]), low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0 || ((high << 4) | low) != digest[i])
            return false;
    }
    return true;
}

// One WinVerifyTrust verification, whose state (the signer's chain, read
// below) lives until the object ends: then the state is closed, as the
// function requires, on every way out.
struct TrustVerification {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file{};
    WINTRUST_DATA data{};
    LONG result = TRUST_E_NOSIGNATURE;

    TrustVerification(HANDLE handle, const std::wstring& path) {
        file.cbStruct = sizeof file;
        file.pcwszFilePath = path.c_str();
        file.hFile = handle;
        data.cbStruct = sizeof data;
        data.dwUIChoice = WTD_UI_NONE;
        // No revocation check, so no revocation list is fetched. The chain
        // may still be completed from the network (a root that a fresh
        // Windows has not downloaded yet), or a genuine program would fail.
        data.fdwRevocationChecks = WTD_REVOKE_NONE;
        data.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &file;
        data.dwStateAction = WTD_STATEACTION_VERIFY;
        result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    }
    ~TrustVerification() {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    }
    TrustVerification(const TrustVerification&) = delete;
    TrustVerification& operator=(const TrustVerification&) = delete;

    // The signer's own certificate, or null.
    PCCERT_CONTEXT Signer() const {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer =
            provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        if (!signer || signer->csCertChain == 0 || !signer->pasCertChain)
            return nullptr;
        return signer->pasCertChain[0].pCert;
    }
};

// Whether the certificate names code signing among its extended key usages
// (a certificate without any does not count).
bool ForCodeSigning(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr,
                                 &size) ||
        size < sizeof(CERT_ENHKEY_USAGE))
        return false;
    std::vector<unsigned char> storage(size);
    auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(storage.data());
    if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size))
        return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i)
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0)
            return true;
    return false;
}

// SHA-256 of the certificate's SubjectPublicKeyInfo in DER, as openssl gives
// it for `openssl pkey -pubin -outform DER`.
bool KeyDigest(PCCERT_CONTEXT certificate, Sha256Digest& digest) {
    CERT_PUBLIC_KEY_INFO* key = &certificate->pCertInfo->SubjectPublicKeyInfo;
    DWORD size = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, nullptr, &size))
        return false;
    std::vector<BYTE> der(size);
    if (!CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, der.data(), &size))
        return false;
    Sha256 hash;
    Sha256Begin(hash);
    Sha256Add(hash, der.data(), size);
    return Sha256Finish(hash, digest);
}

} // namespace

bool PublisherKeyPinned(const char* pinned, const Sha256Digest& digest) {
    constexpr std::size_t kHexDigits = 64;
    for (const std::string& key :
         SeparatedEntries(std::string(pinned ? pinned : ""), ",; \t\r\n")) {
        if (key.size() == kHexDigits && HexNames(key.c_str(), digest))
            return true;
    }
    return false;
}

bool SignedByPinnedPublisher(HANDLE file, const std::wstring& path, const char* pinned) {
    // The trust provider reads the file through the handle from its start.
    const LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;
    const TrustVerification verification(file, path);
    if (verification.result != ERROR_SUCCESS)
        return false;
    const PCCERT_CONTEXT signer = verification.Signer();
    Sha256Digest key{};
    return signer && ForCodeSigning(signer) && KeyDigest(signer, key) &&
           PublisherKeyPinned(pinned, key);
}
