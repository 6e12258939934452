#pragma once
// Where the elevated installer writes, unelevated programs can change the
// names: a folder or a file may be, or may become, a link that an attacker
// planted. So the installer works through handles: it holds the folder, so
// that it cannot be replaced, and checks what each file handle really opened
// before it acts through it.

#include <windows.h>

#include <string>

#include "base/file_by_handle.h"
#include "base/unique_handle.h"

// A folder held open with list access and without delete sharing: while it
// is held, Windows lets nobody rename or delete it, so no link can take its
// place.
struct HeldFolder {
    UniqueFileHandle handle;
    std::wstring path; // as the handle knows it, every link resolved
};

// The path of `name` (a bare file name) in the held folder.
inline std::wstring PathIn(const HeldFolder& folder, const std::wstring& name) {
    return folder.path + L"\\" + name;
}

// The folder part of a path ("." for a bare name) and its last name.
inline std::wstring FolderOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

inline std::wstring NameOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Holds the folder `path` itself, never what a link leads to. False for a
// link or any other reparse point, for a file, or when it cannot be opened.
bool HoldFolder(const std::wstring& path, HeldFolder& folder);

// Opens the file `name` (a bare file name) in the held folder, itself and
// never what a link leads to, with CreateFileW's `access` (and attribute
// access for the checks), `sharing` and `disposition`, and fills `info`. The
// handle is refused (closed, and a file this call created removed when
// `access` has DELETE) unless it is a plain file with one name whose final
// path lies directly in the folder: a link or other reparse point, a folder,
// a file with another name too (a hard link) or a file elsewhere is never
// acted on. An invalid handle on failure, with GetLastError's
// ERROR_FILE_NOT_FOUND when there is no such file and ERROR_ACCESS_DENIED
// when the handle was refused.
UniqueFileHandle OpenInFolder(const HeldFolder& folder, const std::wstring& name, DWORD access,
                              DWORD sharing, DWORD disposition, BY_HANDLE_FILE_INFORMATION& info);

// Removes the file `name` in the held folder (RemoveThrough) when it is the
// file `id`, opened as OpenInFolder opens it; whatever else has the name by
// then is left as it is.
bool RemoveInFolder(const HeldFolder& folder, const std::wstring& name, const FileId& id);

// Frees the name `name` in the held folder, whatever has it (a file, a hard
// link, a link rather than what it leads to, but never a folder), so that
// CREATE_NEW can take it. Only a name that lies directly in the folder, as
// its handle's final path says, is removed: a name that the folder's path
// no longer leads to (a mount point or object-manager link put in its place)
// is left alone. True when the name is free, including when nothing had it.
bool FreeNameIn(const HeldFolder& folder, const std::wstring& name);
