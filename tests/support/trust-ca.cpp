// trust-ca [--check] CA.der
// Adds a test CA (DER bytes) to the current user's trusted roots of the Wine
// prefix it runs in, or with --check only says whether it is there (exit 0)
// or not (exit 1). The store writes to the prefix's registry when closed.
// The user's store, not the machine's: Wine 10 rebuilds the machine's Root
// store from the host's bundle of roots and drops what is not in it, while
// every Wine keeps a user's root and trusts it for that user's programs (as
// Windows does, once the user has confirmed the root).

#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "base/unique_handle.h"

namespace {

void CloseStore(HCERTSTORE store) {
    CertCloseStore(store, 0);
}
using StoreHandle = UniqueAny<HCERTSTORE, CloseStore>;
using CertHandle = UniqueAny<PCCERT_CONTEXT, CertFreeCertificateContext>;

bool ReadAll(const wchar_t* path, std::vector<BYTE>& bytes) {
    UniqueFile file(_wfopen(path, L"rb"));
    if (!file)
        return false;
    BYTE chunk[4096];
    std::size_t read;
    while ((read = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0)
        bytes.insert(bytes.end(), chunk, chunk + read);
    return !bytes.empty();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    bool check = argc == 3 && std::wcscmp(argv[1], L"--check") == 0;
    if (argc != 2 && !check) {
        std::fputs("usage: trust-ca [--check] CA.der\n", stderr);
        return 2;
    }
    std::vector<BYTE> der;
    if (!ReadAll(argv[argc - 1], der)) {
        std::fputs("cannot read the certificate\n", stderr);
        return 2;
    }
    CertHandle cert(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                                 static_cast<DWORD>(der.size())));
    if (!cert) {
        std::fputs("not a DER certificate\n", stderr);
        return 2;
    }
    StoreHandle store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT"));
    if (!store) {
        std::fputs("cannot open the ROOT store\n", stderr);
        return 2;
    }
    if (check) {
        CertHandle found(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0,
                                                    CERT_FIND_EXISTING, cert.get(), nullptr));
        std::puts(found ? "trusted" : "not trusted");
        return found ? 0 : 1;
    }
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        std::fputs("cannot add the certificate\n", stderr);
        return 1;
    }
    std::puts("added");
    return 0;
}
