#pragma once
// The token of the user who sees the installer: the desktop shell's, which
// runs unelevated, whoever the installer itself runs as.

#include <windows.h>

#include "base/unique_handle.h"

// What the token is opened for.
inline constexpr DWORD kShellTokenAccess = TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE;

// The primary token of the desktop shell's process, opened with
// kShellTokenAccess (where that process runs as another account, with the
// debug privilege enabled for that one open); null when there is no shell or
// its token stays closed.
UniqueHandle ShellToken();
