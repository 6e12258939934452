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

// The path of `name` (a bare file name) in the held folder. The path of a
// volume or share root ends in its separator already ("E:\", "\\server\share\").
inline std::wstring PathIn(const HeldFolder& folder, const std::wstring& name) {
    const bool separated = !folder.path.empty() && folder.path.back() == L'\\';
    return folder.path + (separated ? L"" : L"\\") + name;
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

// Whether a reparse point with this tag leads elsewhere: a name surrogate
// (a junction, a symbolic link), or one whose tag cannot be read (0 is no
// tag). Others (a cloud-synced folder's, say) keep their data where they are.
bool LeadsElsewhere(DWORD reparseTag);

// Holds the folder `path` itself, never what a link leads to. False for a
// link (LeadsElsewhere), for a file, or when it cannot be opened; a folder
// with another reparse point is held as any folder.
bool HoldFolder(const std::wstring& path, HeldFolder& folder);

// Holds the folder `path` where it leads now. Where the folder's final path
// is not the full path asked for, compared as the file system compares names
// (a link at its last name or anywhere before it, a drive letter that names
// another place, a mapped network drive among them, or a name that Windows
// spells otherwise, a short name say), the path is followed this once, only
// to a folder on a local volume (the user started on this machine; a
// share's server need not keep our share mode) in which `user` may create
// files unelevated, as the folder's access list and integrity label say (so
// whoever changed a link on the way gains nothing). `user` is the token of
// the user who sees the installer (ShellToken's, with TOKEN_QUERY and
// TOKEN_DUPLICATE); null where there is none, and then such a folder is
// refused: this process's own token, or its linked one, may be an
// administrator's who typed a password for the user. From then on the
// folder is the held one, whatever happens to the links. A folder whose
// final path is the path asked for is held as HoldFolder holds it, on a
// share too; one without a drive letter, never.
bool HoldFolderWhereItLeads(const std::wstring& path, HANDLE user, HeldFolder& folder);

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
// file `id`, the name itself opened (a link there is never followed);
// whatever else has the name by then is left as it is.
bool RemoveInFolder(const HeldFolder& folder, const std::wstring& name, const FileId& id);

// Frees the name `name` in the held folder, whatever has it (a file, a hard
// link, a link rather than what it leads to, but never a folder), so that
// CREATE_NEW can take it. Only a name that lies directly in the folder, as
// its handle's final path says, is removed: a name that the folder's path
// no longer leads to (a mount point or object-manager link put in its place)
// is left alone. True when the name is free, including when nothing had it.
bool FreeNameIn(const HeldFolder& folder, const std::wstring& name);
