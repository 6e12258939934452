#pragma once
// The installer runs with administrator rights, usually from the user's
// Downloads folder, where any web page can leave a file named like a system
// DLL. These keep the process from ever loading a DLL from its own folder or
// from the current directory.

// Restricts the DLL search of this process to System32. Call it first thing.
void RestrictDllSearchToSystem32();
