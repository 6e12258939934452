#pragma once
// What the installer does to a file through its handle rather than its
// name, which an unelevated program may change at any moment.

#include <windows.h>

#include <string>

// The path of what the handle really opened, after every link and junction
// on the way: a drive path ("C:\dir\name") or a UNC path ("\\server\share\name"), without
// the "\\?\" prefix that Windows puts before it; empty on failure.
inline std::wstring FinalPathOf(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(length); // the size needed, terminator included
    }
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        return L"\\" + path.substr(7);
    if (path.compare(0, 4, L"\\\\?\\") == 0)
        return path.substr(4);
    return path;
}

// Sets or clears the mark that removes the file when its last handle closes:
// exactly that file, whatever has happened to its name meanwhile, and also
// when the process ends with the file still open. The handle needs DELETE.
inline bool DeleteWhenClosed(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition{remove};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != FALSE;
}
