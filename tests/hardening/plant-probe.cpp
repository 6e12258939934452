// The control for the DLL-planting test: binds bcrypt, comctl32, crypt32, winhttp and
// wintrust at load time, as any ordinary program does, so a planted DLL beside it is
// loaded.

#include <windows.h>

#include <bcrypt.h>
#include <commctrl.h>
#include <softpub.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <wintrust.h>

int main() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    WinHttpCheckPlatform();
    BCryptCloseAlgorithmProvider(nullptr, 0);
    DWORD size = 0;
    CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, nullptr, nullptr, &size);
    WTHelperProvDataFromStateData(nullptr);
    return 0;
}
