#include "app/dll_safety.h"

#include <windows.h>

#include <delayimp.h>

#include <cstring>
#include <string>

namespace {

// Loads every delay-loaded DLL by its full System32 path, so that neither the
// program's folder nor the current directory is ever searched, even on a
// Windows 7 that lacks SetDefaultDllDirectories.
FARPROC WINAPI LoadDelayedDllFromSystem32(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary || !info || !info->szDll)
        return nullptr;
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    std::wstring path(system, length);
    path += L'\\';
    // DLL names in import tables are ASCII.
    for (const char* c = info->szDll; *c; ++c)
        path += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    return reinterpret_cast<FARPROC>(LoadLibraryExW(path.c_str(), nullptr, 0));
}

} // namespace

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
    if (setDefaultDllDirectories && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    // Without it, at least take the current directory out of the search.
    SetDllDirectoryW(L"");
}
