#pragma once
// What the machine is: enough to choose the installation package.

#include <windows.h>

// Whether the running Windows is at least major.minor with at least the given
// service pack; a question Windows cannot answer counts as "no".
bool WindowsVersionAtLeast(WORD major, WORD minor, WORD servicePackMajor);

// Whether the running Windows is 10 (or later) with at least the given build
// number, as the kernel reports it: the version functions report 6.2 to a
// program whose manifest names no later Windows. "No" when it cannot be told.
bool Windows10BuildAtLeast(DWORD build);

// Whether the WebView2 runtime is installed system-wide: a version folder
// directly under one of its two standard roots holding one of its marker files.
bool IsWebView2RuntimePresent();
