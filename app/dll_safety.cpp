#include "app/dll_safety.h"

#include <windows.h>

#include <delayimp.h>

#include <string>

namespace {

// Whether SetDefaultDllDirectories took: then the LOAD_LIBRARY_SEARCH flags exist.
bool g_searchFlagsKnown = false;

// Loads every delay-loaded DLL by its full System32 path, so that neither the
// program's folder nor the current directory is ever searched, even on a
// Windows 7 that lacks SetDefaultDllDirectories. The DLL's own dependencies
// come from System32 too: by the search flag where Windows has it, otherwise
// by the altered search order, which starts in the DLL's own folder. There is
// no fallback to a load by name: if the path cannot be made or loaded, the
// load fails as the delay-load helper fails it, with its exception.
FARPROC WINAPI LoadDelayedDllFromSystem32(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary || !info || !info->szDll)
        return nullptr;
    if (HMODULE module = LoadFromSystem32(info->szDll))
        return reinterpret_cast<FARPROC>(module);
    info->dwLastError = GetLastError();
    ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
    RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
    return nullptr;
}

} // namespace

HMODULE LoadFromSystem32(const char* name) {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::wstring path(system, length);
    path += L'\\';
    // DLL names in import tables are ASCII.
    for (const char* c = name; *c; ++c)
        path += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    return LoadLibraryExW(path.c_str(), nullptr,
                          g_searchFlagsKnown ? LOAD_LIBRARY_SEARCH_SYSTEM32
                                             : LOAD_WITH_ALTERED_SEARCH_PATH);
}

// The delay-load helper calls this before each load.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = LoadDelayedDllFromSystem32;
}

void RestrictDllSearchToSystem32() {
    // Looked up at run time: Windows 7 has it only with KB2533623.
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    g_searchFlagsKnown =
        setDefaultDllDirectories && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (g_searchFlagsKnown)
        return;
    // Without it, at least take the current directory out of the search.
    SetDllDirectoryW(L"");
}
