// A DLL planted next to a program under the name of a system DLL. It does
// nothing but leave a marker file when it is loaded: "<name>.loaded" in the
// folder that VELMOR_PLANT_MARKER_DIR names.

#include <windows.h>

namespace {

void LeaveMarker() {
    wchar_t folder[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"VELMOR_PLANT_MARKER_DIR", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 40)
        return;
    wchar_t path[MAX_PATH];
    wsprintfW(path, L"%s\\%s.loaded", folder, PLANTED_NAME);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        LeaveMarker();
    return TRUE;
}

// The one function the control program imports from each planted DLL.
extern "C" __declspec(dllexport) BOOL WINAPI InitCommonControlsEx(const void*) {
    return TRUE;
}
extern "C" __declspec(dllexport) BOOL WINAPI WinHttpCheckPlatform() {
    return TRUE;
}
extern "C" __declspec(dllexport) LONG WINAPI BCryptCloseAlgorithmProvider(void*, ULONG) {
    return 0;
}
extern "C" __declspec(dllexport) BOOL WINAPI CryptEncodeObject(DWORD, const char*, const void*,
                                                               BYTE*, DWORD*) {
    return FALSE;
}
extern "C" __declspec(dllexport) void* WINAPI WTHelperProvDataFromStateData(HANDLE) {
    return nullptr;
}
extern "C" __declspec(dllexport) BOOL WINAPI VelmorAbsentFunction() {
    return TRUE;
}
