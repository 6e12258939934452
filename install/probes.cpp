#include "install/probes.h"

#include <shlwapi.h>

#include <string>

#include "base/unique_handle.h"

namespace {

// Fixed paths on drive C:, as the runtime's installer writes them; not derived
// from the environment, so a per-user or other-drive install does not count.
constexpr const wchar_t* kRuntimeRoots[] = {
    L"C:\\Program Files (x86)\\Microsoft\\EdgeWebView\\Application",
    L"C:\\Program Files\\Microsoft\\EdgeWebView\\Application",
};
constexpr const wchar_t* kMarkerFiles[] = {
    L"EmbeddedBrowserWebView.dll",
    L"msedgewebview2.exe",
};

bool IsVersionFolder(const WIN32_FIND_DATAW& entry) {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    const std::wstring name = entry.cFileName;
    return name != L"." && name != L"..";
}

bool HoldsMarker(const std::wstring& versionFolder) {
    for (const wchar_t* marker : kMarkerFiles) {
        if (PathFileExistsW((versionFolder + L"\\" + marker).c_str()))
            return true;
    }
    return false;
}

bool RuntimeUnder(const std::wstring& root) {
    WIN32_FIND_DATAW entry{};
    UniqueFind listing(FindFirstFileW((root + L"\\*").c_str(), &entry));
    if (!listing)
        return false;
    do {
        if (IsVersionFolder(entry) && HoldsMarker(root + L"\\" + entry.cFileName))
            return true;
    } while (FindNextFileW(listing.get(), &entry));
    return false;
}

} // namespace

bool WindowsVersionAtLeast(WORD major, WORD minor, WORD servicePackMajor) {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.wServicePackMajor = servicePackMajor;

    DWORDLONG conditions = 0;
    conditions = VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
    conditions = VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
    conditions = VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                              conditions) != FALSE;
}

bool Windows10BuildAtLeast(DWORD build) {
    // ntdll is in every process: it is looked up, never loaded.
    using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto rtlGetVersion = ntdll ? reinterpret_cast<GetVersion>(reinterpret_cast<void (*)()>(
                                           GetProcAddress(ntdll, "RtlGetVersion")))
                                     : nullptr;
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!rtlGetVersion || rtlGetVersion(&version) != 0)
        return false;
    return version.dwMajorVersion > 10 ||
           (version.dwMajorVersion == 10 && version.dwBuildNumber >= build);
}

bool IsWebView2RuntimePresent() {
    for (const wchar_t* root : kRuntimeRoots) {
        if (RuntimeUnder(root))
            return true;
    }
    return false;
}
