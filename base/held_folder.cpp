#include "base/held_folder.h"

#include "base/file_by_handle.h"
#include "base/same_text.h"

namespace {

constexpr DWORD kOpenTheNameItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

// Wine workaround: Wine shows a link as a reparse point only when asked by
// name. A failed GetFileAttributesW has every bit set, so it counts as one.
bool IsReparsePointByName(const std::wstring& path) {
    return (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The same for a folder, where only a link is refused: its entry's tag
// decides (Wine gives none, which counts as a link). `path` is a full path,
// so that the search finds the folder's own entry.
bool IsLinkByName(const std::wstring& path) {
    if (!IsReparsePointByName(path))
        return false;
    WIN32_FIND_DATAW found{};
    const UniqueFind find(FindFirstFileW(path.c_str(), &found));
    return !find || !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
           LeadsElsewhere(found.dwReserved0);
}

bool IsLinkByHandle(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info) {
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return !GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) ||
           LeadsElsewhere(tag.ReparseTag);
}

UniqueFileHandle OpenFolder(const std::wstring& path, DWORD flags) {
    // List access makes the share mode count: Windows checks sharing only
    // against handles with data or delete access, and one with attribute
    // access alone would not keep the folder from being renamed away.
    return UniqueFileHandle(CreateFileW(
        path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr));
}

// A folder on a network share, or behind another network redirector.
bool IsRemote(HANDLE folder, const std::wstring& finalPath) {
    FILE_REMOTE_PROTOCOL_INFO protocol{};
    return finalPath.compare(0, 2, L"\\\\") == 0 ||
           GetFileInformationByHandleEx(folder, FileRemoteProtocolInfo, &protocol, sizeof protocol);
}

bool Hold(const std::wstring& path, bool followLink, HeldFolder& folder) {
    std::wstring full(MAX_PATH, L'\0');
    DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) { // the size needed, terminator included
        full.resize(length);
        length = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    }
    if (length == 0 || length >= full.size())
        return false;
    full.resize(length);
    UniqueFileHandle handle = OpenFolder(full, kOpenTheNameItself);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !GetFileInformationByHandle(handle.get(), &info))
        return false;
    const bool link = IsLinkByHandle(handle.get(), info) || IsLinkByName(full);
    if (link) {
        if (!followLink)
            return false;
        handle.reset();
        handle = OpenFolder(full, FILE_FLAG_BACKUP_SEMANTICS);
        if (!handle || !GetFileInformationByHandle(handle.get(), &info))
            return false;
    }
    std::wstring final = FinalPathOf(handle.get());
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || final.empty() ||
        (link && IsRemote(handle.get(), final)))
        return false;
    folder.handle = std::move(handle);
    folder.path = std::move(final);
    return true;
}

} // namespace

bool LeadsElsewhere(DWORD reparseTag) {
    return reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag);
}

bool HoldFolder(const std::wstring& path, HeldFolder& folder) {
    return Hold(path, false, folder);
}

bool HoldFolderWhereItLeads(const std::wstring& path, HeldFolder& folder) {
    return Hold(path, true, folder);
}

UniqueFileHandle OpenInFolder(const HeldFolder& folder, const std::wstring& name, DWORD access,
                              DWORD sharing, DWORD disposition, BY_HANDLE_FILE_INFORMATION& info) {
    const std::wstring path = PathIn(folder, name);
    // Reading the attributes for the checks needs its own right: a handle
    // for writing alone would fail them on Windows.
    UniqueFileHandle file(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, sharing, nullptr,
                                      disposition, FILE_ATTRIBUTE_NORMAL | kOpenTheNameItself,
                                      nullptr));
    if (!file)
        return file;
    const bool plain =
        GetFileInformationByHandle(file.get(), &info) &&
        !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
        info.nNumberOfLinks == 1 && !IsReparsePointByName(path) &&
        SameIgnoringCase(FinalPathOf(file.get()), path);
    if (plain)
        return file;
    if (disposition == CREATE_NEW && (access & DELETE))
        DeleteWhenClosed(file.get(), true);
    file.reset();
    SetLastError(ERROR_ACCESS_DENIED);
    return file;
}

bool RemoveInFolder(const HeldFolder& folder, const std::wstring& name, const FileId& id) {
    BY_HANDLE_FILE_INFORMATION info{};
    const UniqueFileHandle file =
        OpenInFolder(folder, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     OPEN_EXISTING, info);
    FileId opened;
    return file && IdOf(file.get(), opened) && opened == id && RemoveThrough(file.get());
}

bool FreeNameIn(const HeldFolder& folder, const std::wstring& name) {
    const std::wstring path = PathIn(folder, name);
    const UniqueFileHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, kOpenTheNameItself, nullptr));
    if (!file)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(file.get(), &info) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           SameIgnoringCase(FinalPathOf(file.get()), path) && RemoveThrough(file.get());
}
