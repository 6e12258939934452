#pragma once
// What the installer does to a file through its handle rather than its
// name, which an unelevated program may change at any moment.

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/unique_handle.h"

// The path of what the handle really opened, after every link and junction
// on the way: a drive path ("C:\dir\name") or a UNC path ("\\server\share\name"), without
// the "\\?\" prefix that Windows puts before it; empty on failure and for
// a volume without a drive letter.
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
        path.erase(0, 4);
    // A volume without a drive letter ("Volume{...}\dir") has no such path.
    const bool drivePath = path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
    return drivePath ? path : std::wstring();
}

// Sets or clears the mark that removes the file when its last handle closes:
// exactly that file, whatever has happened to its name meanwhile, and also
// when the process ends with the file still open. The handle needs DELETE.
inline bool DeleteWhenClosed(HANDLE file, bool remove) {
    FILE_DISPOSITION_INFO disposition{remove};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != FALSE;
}

// Which file a handle opened, whatever names it has: its volume and its
// identifier there.
struct FileId {
    ULONGLONG volume = 0;
    unsigned char index[16] = {};
};

inline bool operator==(const FileId& a, const FileId& b) {
    return a.volume == b.volume && std::memcmp(a.index, b.index, sizeof a.index) == 0;
}

// The identity of the file behind `file`. Windows 8 on gives the 128-bit
// identifier, the only one unique on ReFS; older Windows gives the 64-bit
// index, which NTFS keeps unique. False when neither can be read.
inline bool IdOf(HANDLE file, FileId& id) {
    // FileIdInfo and FILE_ID_INFO: the build targets Windows 7, whose
    // headers lack them.
    constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
    struct {
        ULONGLONG volume;
        unsigned char identifier[16];
    } full{};
    id = FileId();
    if (GetFileInformationByHandleEx(file, kFileIdInfo, &full, sizeof full)) {
        id.volume = full.volume;
        std::memcpy(id.index, full.identifier, sizeof id.index);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return false;
    const ULONGLONG index = (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    id.volume = info.dwVolumeSerialNumber;
    std::memcpy(id.index, &index, sizeof index);
    return true;
}

// Whether `path` names the very file behind `file`: a path made from a final
// path may name another file once Windows parses it again (it drops trailing
// dots and spaces, say).
inline bool NamesFile(const std::wstring& path, HANDLE file) {
    const UniqueFileHandle other(CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FileId held, named;
    return other && IdOf(file, held) && IdOf(other.get(), named) && held == named;
}

// Gives the file behind `file` (a handle with DELETE access) the full path
// `path`, replacing what has that name only when `replace` is set: only the
// name changes, nothing is written through it.
inline bool RenameThrough(HANDLE file, const std::wstring& path, bool replace) {
    // The file system's own form of the path, which it takes as it stands.
    const std::wstring target =
        path.compare(0, 2, L"\\\\") == 0 ? L"\\??\\UNC\\" + path.substr(2) : L"\\??\\" + path;
    const std::size_t nameBytes = target.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replace;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, target.data(), nameBytes);
    return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != FALSE;
}

// Removes the file behind `file` (a handle with DELETE access) so that its
// name is free once this handle closes, even while another program (a
// scanner, the indexer) still has the file open; a file already marked for
// deletion through this handle is not unmarked on any path. Where Windows
// has POSIX deletion (10 1709 on, NTFS), that is what DeleteFileW does
// there. Before it, such a file is only marked and its name stays taken,
// even for CREATE_NEW, until the other program lets go: so a file with one
// name first moves to "<name>.<pid>-<n>.deleted" in its own folder. False,
// with the file and its name as they were (or as marked), when it cannot be
// deleted: read-only, or a program running from it.
inline bool RemoveThrough(HANDLE file) {
    // Windows 10's FileDispositionInfoEx with FILE_DISPOSITION_FLAG_DELETE,
    // _POSIX_SEMANTICS and _FORCE_IMAGE_SECTION_CHECK, as DeleteFileW asks:
    // the build targets Windows 7, whose headers lack them, and whose
    // Windows rejects them.
    constexpr auto kDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
    DWORD posix = 0x1 | 0x2 | 0x4;
    if (SetFileInformationByHandle(file, kDispositionInfoEx, &posix, sizeof posix))
        return true;
    FILE_STANDARD_INFO standard{};
    if (GetLastError() == ERROR_ACCESS_DENIED ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard))
        return false;
    // A file with more names than one may report any of them as its path. A
    // marked file's own name no longer counts among its links.
    const bool oneName =
        standard.NumberOfLinks == 1 || (standard.NumberOfLinks == 0 && standard.DeletePending);
    const std::wstring path = oneName ? FinalPathOf(file) : std::wstring();
    bool moved = false;
    for (int attempt = 0; !path.empty() && !moved && attempt < 8; ++attempt) {
        moved = RenameThrough(file,
                              path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(attempt) + L".deleted",
                              false);
    }
    // Marking again cannot unmark; a file already marked stays so when it fails.
    if (DeleteWhenClosed(file, true) || standard.DeletePending)
        return true;
    const DWORD error = GetLastError();
    if (moved)
        RenameThrough(file, path, false);
    SetLastError(error);
    return false;
}
