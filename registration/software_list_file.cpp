// The software list on disk: through handles in a held folder, in the C
// runtime's text mode.

#include "registration/software_list_file.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "base/file_by_handle.h"
#include "base/test_hooks.h"
#include "base/unique_handle.h"

namespace {

constexpr DWORD kKeepsItsContent =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// A text-mode stream on a duplicate of `file`: the stream owns the duplicate
// and closes it; `file` stays the caller's.
UniqueFile TextStreamOn(HANDLE file, bool write) {
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return UniqueFile();
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(duplicate),
                                           (write ? _O_WRONLY : _O_RDONLY) | _O_TEXT);
    if (descriptor == -1) {
        CloseHandle(duplicate);
        return UniqueFile();
    }
    FILE* stream = _fdopen(descriptor, write ? "w" : "r");
    if (!stream)
        _close(descriptor);
    return UniqueFile(stream);
}

// Writes text, closes the stream and reports whether every byte reached the disk.
bool WriteAndClose(UniqueFile file, const std::string& text) {
    if (!file)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
                         std::fflush(file.get()) == 0 && _commit(_fileno(file.get())) == 0;
    return std::fclose(file.release()) == 0 && written;
}

// A list that another program holds open (as a reader with fopen(path, "r")
// does, without delete sharing) cannot be replaced; it is written in place
// so that the record is not lost, through a handle checked as every other.
void WriteInPlace(const HeldFolder& folder, const std::wstring& name, const std::string& text) {
#ifdef VELMOR_TEST_HOOKS
    HoldForTests(L"before-in-place");
#endif
    BY_HANDLE_FILE_INFORMATION info{};
    const UniqueFileHandle file = OpenInFolder(
        folder, name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, info);
    if (!file || (info.dwFileAttributes & kKeepsItsContent) || !SetEndOfFile(file.get()))
        return;
    WriteAndClose(TextStreamOn(file.get(), true), text);
}

} // namespace

bool ReadSoftwareListIn(const HeldFolder& folder, const std::wstring& name, SoftwareList& list) {
    list.clear();
    BY_HANDLE_FILE_INFORMATION info{};
    const UniqueFileHandle file = OpenInFolder(
        folder, name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, info);
    if (!file)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    const ULONGLONG size = (ULONGLONG{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    if (size > kMaxListBytes)
        return false;
#ifdef VELMOR_TEST_HOOKS
    HoldForTests(L"before-read");
#endif
    const UniqueFile stream = TextStreamOn(file.get(), false);
    if (!stream)
        return false;
    // Capped as it is read, too: the file may grow after its size was seen.
    // A read error ends the input like its end does: what came so far is kept.
    std::string text;
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, stream.get())) > 0) {
        text.append(buffer, count);
        if (text.size() > kMaxListBytes)
            return false;
    }
    list = ScanSoftwareList(text);
    return true;
}

void WriteSoftwareListIn(const HeldFolder& folder, const std::wstring& name,
                         const SoftwareList& list) {
    {
        BY_HANDLE_FILE_INFORMATION info{};
        const UniqueFileHandle current = OpenInFolder(
            folder, name, FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, info);
        if (current ? (info.dwFileAttributes & kKeepsItsContent) != 0
                    : GetLastError() != ERROR_FILE_NOT_FOUND)
            return;
    }
    // Truncating the list in place would lose every other product's record
    // when the write fails half-way, so the old file is replaced only by a
    // complete new one. Its name is fixed, so that what a killed run leaves
    // is reused and removed by the next.
    const std::string text = FormatSoftwareList(list);
    const std::wstring temp = name + L".tmp";
    FreeNameIn(folder, temp);
    BY_HANDLE_FILE_INFORMATION info{};
    UniqueFileHandle file = OpenInFolder(folder, temp, GENERIC_WRITE | DELETE, 0, CREATE_NEW, info);
    if (!file)
        return;
    if (!WriteAndClose(TextStreamOn(file.get(), true), text)) {
        RemoveThrough(file.get());
        return;
    }
    if (RenameThrough(file.get(), PathIn(folder, name), true))
        return;
    const DWORD error = GetLastError();
    RemoveThrough(file.get());
    file.reset();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED)
        WriteInPlace(folder, name, text);
}

SoftwareList ReadSoftwareList(const std::wstring& path) {
    HeldFolder folder;
    SoftwareList list;
    if (HoldFolder(FolderOf(path), folder))
        ReadSoftwareListIn(folder, NameOf(path), list);
    return list;
}

void WriteSoftwareList(const std::wstring& path, const SoftwareList& list) {
    HeldFolder folder;
    if (HoldFolder(FolderOf(path), folder))
        WriteSoftwareListIn(folder, NameOf(path), list);
}
