#pragma once
// Where the elevated installer writes, a name may be a link that an
// unelevated program planted: these look at the name itself.

#include <windows.h>

#include <string>

#include "base/unique_handle.h"

// Opens the name itself, never what a link leads to, for reading its
// attributes only, shared as `sharing` says, and fills `info`; the reparse
// point bit is set for any kind of link. An invalid handle on failure, with
// the error in GetLastError.
UniqueFileHandle OpenNameItself(const std::wstring& path, DWORD sharing,
                                BY_HANDLE_FILE_INFORMATION& info);
