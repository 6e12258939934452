// The software list on disk: through handles in a held folder, read in the C
// runtime's text mode and written as that mode stores text.

#include "registration/software_list_file.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

#include "base/file_by_handle.h"
#include "base/test_hooks.h"
#include "base/unique_handle.h"

namespace {

constexpr DWORD kKeepsItsContent =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// A text-mode reader on a duplicate of `file`: the stream owns the duplicate
// and closes it; `file` stays the caller's.
UniqueFile TextReaderOn(HANDLE file) {
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return UniqueFile();
    const int descriptor =
        _open_osfhandle(reinterpret_cast<intptr_t>(duplicate), _O_RDONLY | _O_TEXT);
    if (descriptor == -1) {
        CloseHandle(duplicate);
        return UniqueFile();
    }
    FILE* stream = _fdopen(descriptor, "r");
    if (!stream)
        _close(descriptor);
    return UniqueFile(stream);
}

// The bytes that text mode stores for `text`: each LF as CR LF.
std::string StoredForm(const std::string& text) {
    std::string stored;
    stored.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n')
            stored += '\r';
        stored += c;
    }
    return stored;
}

// Writes `bytes` at `offset` through `file`, and to the disk; false unless
// every byte got there.
bool WriteAt(HANDLE file, ULONGLONG offset, const std::string& bytes) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    return (bytes.empty() ||
            (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &at) &&
             written == bytes.size())) &&
           FlushFileBuffers(file);
}

bool EndAt(HANDLE file, ULONGLONG offset) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// The file's bytes from where its handle stands; false when they cannot be
// read or are more than a list may hold.
bool ReadRest(HANDLE file, std::string& bytes) {
    char buffer[4096];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &read, nullptr))
            return false;
        if (read == 0)
            return true;
        bytes.append(buffer, read);
        if (bytes.size() > kMaxListBytes)
            return false;
    }
}

// A list that another program holds open (as a reader with fopen(path, "r")
// does, without delete sharing) cannot be replaced; it is written in place so
// that the record is not lost, through a handle checked as every other. No
// moment of it leaves a record of the old list unreadable: where the new
// bytes begin with the old ones, only the rest is added; otherwise a whole
// copy of the new list goes first past the end of both, after a line end,
// so that the old bytes stay whole until the copy is complete and the copy
// holds every record while the front is overwritten, with the new list and
// blank lines up to the copy, so that no line of the old one is left. The
// end is set last; where it cannot be (another program maps the file), the
// copy becomes blank lines.
void WriteInPlace(const HeldFolder& folder, const std::wstring& name, const std::string& stored) {
#ifdef VELMOR_TEST_HOOKS
    HoldForTests(L"before-in-place");
#endif
    BY_HANDLE_FILE_INFORMATION info{};
    const UniqueFileHandle file =
        OpenInFolder(folder, name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     OPEN_EXISTING, info);
    std::string old;
    if (!file || (info.dwFileAttributes & kKeepsItsContent) || !ReadRest(file.get(), old))
        return;
    if (stored.compare(0, old.size(), old) == 0) {
        WriteAt(file.get(), old.size(), stored.substr(old.size()));
        return;
    }
    const std::size_t copyAt = std::max(old.size(), stored.size()) + 1;
    if (!WriteAt(file.get(), old.size(), std::string(copyAt - old.size(), '\n') + stored)) {
        EndAt(file.get(), old.size());
        return;
    }
#ifdef VELMOR_TEST_HOOKS
    HoldForTests(L"in-place-copy-written");
#endif
    if (WriteAt(file.get(), 0, stored + std::string(copyAt - stored.size(), '\n')) &&
        !EndAt(file.get(), stored.size()))
        WriteAt(file.get(), copyAt, std::string(stored.size(), '\n'));
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
    const UniqueFile stream = TextReaderOn(file.get());
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
    const std::string stored = StoredForm(FormatSoftwareList(list));
    const std::wstring temp = name + L".tmp";
    FreeNameIn(folder, temp);
    BY_HANDLE_FILE_INFORMATION info{};
    UniqueFileHandle file = OpenInFolder(folder, temp, GENERIC_WRITE | DELETE, 0, CREATE_NEW, info);
    if (!file)
        return;
    if (!WriteAt(file.get(), 0, stored)) {
        RemoveThrough(file.get());
        return;
    }
    if (RenameThrough(file.get(), PathIn(folder, name), true))
        return;
    const DWORD error = GetLastError();
    RemoveThrough(file.get());
    file.reset();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED)
        WriteInPlace(folder, name, stored);
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
