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
    // A name that grows between two calls asks again, but not for ever.
    for (int tries = 0;; ++tries) {
        const DWORD length =
            GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0 || tries == 3)
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

// Whether `path` names the very file behind `file` (the same volume and file
// index): a path made from a final path may name another file once Windows
// parses it again (it drops trailing dots and spaces, say).
inline bool NamesFile(const std::wstring& path, HANDLE file) {
    BY_HANDLE_FILE_INFORMATION held{}, named{};
    const HANDLE other = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    const bool same =
        GetFileInformationByHandle(file, &held) && GetFileInformationByHandle(other, &named) &&
        held.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
        held.nFileIndexHigh == named.nFileIndexHigh && held.nFileIndexLow == named.nFileIndexLow;
    CloseHandle(other);
    return same;
}
