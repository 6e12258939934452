#pragma once
// The installer runs with administrator rights, usually from the user's
// Downloads folder, where any web page can leave a file named like a system
// DLL. These keep the process from ever loading a DLL from its own folder or
// from the current directory.

#include <windows.h>

// Loads the DLL `name` (a bare file name) from System32 and nowhere else;
// null when it is not there. Every delay-loaded DLL is loaded through it.
HMODULE LoadFromSystem32(const char* name);

// Restricts the DLL search of this process to System32. Call it first thing.
void RestrictDllSearchToSystem32();
