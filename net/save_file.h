#pragma once
// The file a download saves into, in a held folder, and the SHA-256 of what
// it holds.

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/file_by_handle.h"
#include "base/held_folder.h"
#include "base/unique_handle.h"
#include "net/sha256.h"

// From the first 200 response to the end of the download, across every
// attempt. Its folder is held all the while, so that its name always leads
// into that folder.
struct SaveFile {
    const HeldFolder* folder = nullptr; // the caller's, or `own`
    HeldFolder own;
    std::wstring name;
    UniqueFileHandle file;
    FileId id;
    std::uint64_t written = 0;
    bool hashing = false; // `hash` follows what is written
    Sha256 hash;

    SaveFile() = default;
    SaveFile(const SaveFile&) = delete;
    SaveFile& operator=(const SaveFile&) = delete;
    // Still open, the file is incomplete and marked for removal: its name is
    // freed now, so that a scanner still reading it does not keep the next
    // download from taking the name.
    ~SaveFile();
};

// Creates the file `savePath` (a bare name where `save.folder` is given,
// else a path whose folder is held from now on) and starts its hash. It is
// new: whatever had the name is removed first (even a file a scanner still
// reads), and CREATE_NEW of the name itself, never what a link planted in
// between leads to, then either makes a plain file in that folder or fails
// (OpenInFolder). While it is open nobody else may write, rename or delete
// it: the caller runs it elevated. It is marked for removal until it is
// finished, so a process that ends mid-download (the window closed, or
// killed) or a failed download leaves no file.
bool CreateSaveFile(const std::string& savePath, SaveFile& save);

// Empties the file, through the handle that holds it, and starts its hash
// over: the host sends the whole body again.
bool StartSaveOver(SaveFile& save);

// Appends a block to the file and to its hash; false unless all of it was
// written.
bool WriteBlock(SaveFile& save, const char* data, DWORD size);

// Finishes a whole file: its digest into `digest` (when hashing), the mark
// for removal off, the file closed. False, with a short English message in
// `error`, when any of that fails; the file is then removed.
bool FinishSaveFile(SaveFile& save, Sha256Digest& digest, std::string& error);
