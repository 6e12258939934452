#include "base/held_folder.h"

#include <aclapi.h>

#include "base/file_by_handle.h"
#include "base/same_text.h"
#include "base/shell_token.h"

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

// The user who sees the installer, unelevated, as a token to check access
// with: the desktop shell's; where no shell answers, this process's
// unelevated twin where Windows split its token (UAC), else its own token,
// which then has no higher rights to guard.
UniqueHandle UnelevatedUser() {
    UniqueHandle token = ShellToken();
    if (!token) {
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, token.put());
        TOKEN_ELEVATION_TYPE type{};
        TOKEN_LINKED_TOKEN linked{};
        DWORD size = 0;
        if (token &&
            GetTokenInformation(token.get(), TokenElevationType, &type, sizeof type, &size) &&
            type == TokenElevationTypeFull &&
            GetTokenInformation(token.get(), TokenLinkedToken, &linked, sizeof linked, &size))
            return UniqueHandle(linked.LinkedToken); // an identification token already
    }
    UniqueHandle identity;
    if (token)
        DuplicateToken(token.get(), SecurityIdentification, identity.put());
    return identity;
}

// Whether the user who sees the installer, unelevated, may create files in
// `folder` (opened with READ_CONTROL). A link may lead the elevated
// installer only there: whoever changed the link since the installer
// started gains nothing the user could not do.
bool UserMayAddFiles(HANDLE folder) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                            DACL_SECURITY_INFORMATION,
                        nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const UniqueLocal owned(descriptor);
    const UniqueHandle user = UnelevatedUser();
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges{};
    DWORD privilegesSize = sizeof privileges, granted = 0;
    BOOL allowed = FALSE;
    return user &&
           AccessCheck(descriptor, user.get(), FILE_ADD_FILE, &mapping, &privileges,
                       &privilegesSize, &granted, &allowed) &&
           allowed;
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
        handle = OpenFolder(full, FILE_FLAG_BACKUP_SEMANTICS, READ_CONTROL);
        if (!handle || !GetFileInformationByHandle(handle.get(), &info))
            return false;
    }
    std::wstring final = FinalPathOf(handle.get());
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || final.empty() ||
        (link && (IsRemote(handle.get(), final) || !UserMayAddFiles(handle.get()))))
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
