#include "base/held_folder.h"

#include <aclapi.h>

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

// The name itself, to be removed, whoever else has it open.
UniqueFileHandle OpenNameItself(const std::wstring& path) {
    return UniqueFileHandle(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, kOpenTheNameItself, nullptr));
}

UniqueFileHandle OpenFolder(const std::wstring& path, DWORD flags, DWORD access = 0) {
    // List access makes the share mode count: Windows checks sharing only
    // against handles with data or delete access, and one with attribute
    // access alone would not keep the folder from being renamed away.
    return UniqueFileHandle(CreateFileW(
        path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | access,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr));
}

// A folder on a network share (its final path is a UNC path), or behind
// another network redirector: Windows answers FileRemoteProtocolInfo only
// for a remote file.
bool IsRemote(HANDLE folder, const std::wstring& finalPath) {
    FILE_REMOTE_PROTOCOL_INFO protocol{};
    return finalPath.compare(0, 2, L"\\\\") == 0 ||
           GetFileInformationByHandleEx(folder, FileRemoteProtocolInfo, &protocol, sizeof protocol);
}

using UniqueLocal = UniqueAny<PSECURITY_DESCRIPTOR, LocalFree>;

// Whether `user`, unelevated, may create files in `folder` (opened with
// READ_CONTROL). A path that led elsewhere may lead the elevated installer
// only there: whoever changed a link on it since the installer started
// gains nothing the user could not do. The integrity label is read too, for
// AccessCheck applies it: a folder labelled above the user's level with
// no-write-up fails as the user's own write would, whatever its DACL.
bool UserMayAddFiles(HANDLE folder, HANDLE user) {
    UniqueHandle identity;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!user || !DuplicateToken(user, SecurityIdentification, identity.put()) ||
        GetSecurityInfo(folder, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                            DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const UniqueLocal owned(descriptor);
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges{};
    DWORD privilegesSize = sizeof privileges, granted = 0;
    BOOL allowed = FALSE;
    return AccessCheck(descriptor, identity.get(), FILE_ADD_FILE, &mapping, &privileges,
                       &privilegesSize, &granted, &allowed) &&
           allowed;
}

// The path without separators at its end, so that "C:\dir\" and the "C:\dir"
// that Windows gives for the same folder compare alike (and "C:\" with "C:\").
std::wstring Unseparated(std::wstring path) {
    while (!path.empty() && path.back() == L'\\')
        path.pop_back();
    return path;
}

// `user` decides where a path that led elsewhere may lead, where `follow`
// allows that at all.
bool Hold(const std::wstring& path, bool follow, HANDLE user, HeldFolder& folder) {
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
    if (link && !follow)
        return false;
    std::wstring final = FinalPathOf(handle.get());
    // A link before the last name was followed by the open already.
    const bool followed =
        link || (follow && !SameIgnoringCase(Unseparated(final), Unseparated(full)));
    if (followed) {
        // Opened again, following a link at the last name too, with the right
        // to read the folder's security; whatever this open reaches is checked.
        handle.reset();
        handle = OpenFolder(full, FILE_FLAG_BACKUP_SEMANTICS, READ_CONTROL);
        if (!handle || !GetFileInformationByHandle(handle.get(), &info))
            return false;
        final = FinalPathOf(handle.get());
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || final.empty() ||
        (followed && (IsRemote(handle.get(), final) || !UserMayAddFiles(handle.get(), user))))
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
    return Hold(path, false, nullptr, folder);
}

bool HoldFolderWhereItLeads(const std::wstring& path, HANDLE user, HeldFolder& folder) {
    return Hold(path, true, user, folder);
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
    // The identity is the check: a sync engine may have made the very file a
    // placeholder (a reparse point) meanwhile, and it still goes.
    const UniqueFileHandle file = OpenNameItself(PathIn(folder, name));
    FileId opened;
    return file && IdOf(file.get(), opened) && opened == id && RemoveThrough(file.get());
}

bool FreeNameIn(const HeldFolder& folder, const std::wstring& name) {
    const std::wstring path = PathIn(folder, name);
    const UniqueFileHandle file = OpenNameItself(path);
    if (!file)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(file.get(), &info) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           SameIgnoringCase(FinalPathOf(file.get()), path) && RemoveThrough(file.get());
}
