// The control for the DLL-planting test: binds bcrypt, comctl32 and winhttp at load
// time, as any ordinary program does, so a planted DLL beside it is loaded.

#include <windows.h>

#include <bcrypt.h>
#include <commctrl.h>
#include <winhttp.h>

int main() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    WinHttpCheckPlatform();
    BCryptCloseAlgorithmProvider(nullptr, 0);
    return 0;
}
