#include "base/held_folder.h"

#include "base/file_by_handle.h"
#include "base/same_text.h"

namespace {

constexpr DWORD kOpenTheNameItself = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

// Wine workaround: Wine reports a link to a folder as a reparse point only
// when asked by name. A failed GetFileAttributesW has every bit set, so it
// counts as a link.
bool IsLinkByName(const std::wstring& path) {
    return (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

} // namespace

bool HoldFolder(const std::wstring& path, HeldFolder& folder) {
    // List access makes the share mode count: Windows checks sharing only
    // against handles with data or delete access, and one with attribute
    // access alone would not keep the folder from being renamed away.
    UniqueFileHandle handle(CreateFileW(
        path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, kOpenTheNameItself, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !GetFileInformationByHandle(handle.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || IsLinkByName(path))
        return false;
    std::wstring final = FinalPathOf(handle.get());
    if (final.empty())
        return false;
    folder.handle = std::move(handle);
    folder.path = std::move(final);
    return true;
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
        info.nNumberOfLinks == 1 && !IsLinkByName(path) &&
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
