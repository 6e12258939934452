// The software list on disk, in the C runtime's text mode.

#include <windows.h>

#include <io.h>

#include <cstdio>

#include "app/unique_handle.h"
#include "registration/software_list.h"

namespace {

// The folder part of a path, for a temporary file beside the target.
std::wstring FolderOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

// Writes text in text mode and reports whether every byte reached the disk.
bool WriteTextFile(const wchar_t* path, const std::string& text) {
    UniqueFile file(_wfopen(path, L"w"));
    if (!file)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
                         std::fflush(file.get()) == 0 && _commit(_fileno(file.get())) == 0;
    return std::fclose(file.release()) == 0 && written;
}

} // namespace

bool IsListFileUntouchable(const std::wstring& path) {
    // The name itself is looked at, not what a link would lead to.
    UniqueFileHandle file(
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    // Asked both by name and through the handle: Wine reports a link to a
    // folder only by name.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info) ||
        (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
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
    // Truncating the list in place would lose every other product's record
    // when the write fails half-way; the old file is replaced only by a
    // complete new one.
    // A read-only list cannot be opened for writing, so it keeps its content;
    // replacing it by renaming would go around that.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        return;
    wchar_t temp[MAX_PATH];
    if (!GetTempFileNameW(FolderOf(path).c_str(), L"cfg", 0, temp))
        return;
    // Looked at again right before the replace: the name may have changed
    // into a link since the caller looked.
    if (WriteTextFile(temp, FormatSoftwareList(list)) && !IsListFileUntouchable(path) &&
        MoveFileExW(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return;
    DeleteFileW(temp);
}
