// The software list on disk, in the C runtime's text mode.

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "base/unique_handle.h"
#include "registration/file_links.h"
#include "registration/software_list.h"

namespace {

// A text-mode stream onto a file that did not exist before this call:
// whatever had the name (a leftover of a run that was killed, or a planted
// link) is removed first, and nobody else may open the file while we write.
UniqueFile CreateNewTextFile(const std::wstring& path) {
    DeleteFileW(path.c_str());
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return UniqueFile();
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_TEXT);
    if (descriptor == -1) {
        CloseHandle(handle);
        return UniqueFile();
    }
    FILE* file = _fdopen(descriptor, "w");
    if (!file)
        _close(descriptor);
    return UniqueFile(file);
}

// Writes text, closes the file and reports whether every byte reached the disk.
bool WriteAndClose(UniqueFile file, const std::string& text) {
    if (!file)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
                         std::fflush(file.get()) == 0 && _commit(_fileno(file.get())) == 0;
    return std::fclose(file.release()) == 0 && written;
}

} // namespace

UniqueFileHandle OpenNameItself(const std::wstring& path, DWORD sharing,
                                BY_HANDLE_FILE_INFORMATION& info) {
    UniqueFileHandle file(
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, sharing, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file || !GetFileInformationByHandle(file.get(), &info))
        return UniqueFileHandle();
    // Asked by name too: Wine reports a link to a folder only there. A failed
    // GetFileAttributesW has every bit set, so it counts as a link.
    info.dwFileAttributes |= GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT;
    return file;
}

bool IsListFileUntouchable(const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!OpenNameItself(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, info)) {
        const DWORD error = GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    const ULONGLONG size = (ULONGLONG{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    return (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
           info.nNumberOfLinks > 1 || size > kMaxListBytes;
}

SoftwareList ReadSoftwareList(const std::wstring& path) {
    UniqueFile file(_wfopen(path.c_str(), L"r"));
    if (!file)
        return {};
    // A read error ends the input like its end does: what came so far is kept.
    std::string text;
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        text.append(buffer, count);
    return ScanSoftwareList(text);
}

void WriteSoftwareList(const std::wstring& path, const SoftwareList& list) {
    // The C runtime's "w", with which the list is written in place, fails on
    // a read-only, hidden or system file, so such a list keeps its content;
    // replacing it by renaming must not go around that.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)))
        return;
    // Truncating the list in place would lose every other product's record
    // when the write fails half-way, so the old file is replaced only by a
    // complete new one. Its name is fixed, so that what a killed run leaves
    // is reused and removed by the next.
    const std::string text = FormatSoftwareList(list);
    const std::wstring temp = path + L".tmp";
    // Looked at again right before the replace: the name may have changed
    // into a link since the caller looked.
    if (!WriteAndClose(CreateNewTextFile(temp), text) || IsListFileUntouchable(path)) {
        DeleteFileW(temp.c_str());
        return;
    }
    if (MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return;
    const DWORD error = GetLastError();
    DeleteFileW(temp.c_str());
    // Another program has the list open, as a reader with fopen(path, "r")
    // does, without sharing deletion: it cannot be replaced, but it can still
    // be written in place, so the record is not lost.
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED)
        WriteAndClose(UniqueFile(_wfopen(path.c_str(), L"w")), text);
}
