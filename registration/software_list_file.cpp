// The software list on disk: through handles in a held folder, read and
// written as the C runtime's text mode stores text.

#include "registration/software_list_file.h"

#include <windows.h>

#include "base/file_by_handle.h"
#include "base/test_hooks.h"
#include "base/unique_handle.h"
#include "registration/list_in_place.h"

namespace {

constexpr DWORD kKeepsItsContent =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

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
// that the record is not lost, through a handle checked as every other, from
// the bytes read through that very handle, so that a record the other
// program added meanwhile stays. The writes follow PlanInPlace, each flushed.
// True when the file holds the new list.
bool WriteInPlace(const HeldFolder& folder, const std::wstring& name, const ListChange& change) {
#ifdef VELMOR_TEST_HOOKS
    HoldForTests(L"before-in-place");
#endif
    BY_HANDLE_FILE_INFORMATION info{};
    const UniqueFileHandle file =
        OpenInFolder(folder, name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     OPEN_EXISTING, info);
    std::string old;
    if (!file || (info.dwFileAttributes & kKeepsItsContent) || !ReadRest(file.get(), old))
        return false;
    const std::string stored =
        StoredForm(FormatSoftwareList(change(ScanSoftwareList(TextOfStored(old)))));
    const InPlacePlan plan = PlanInPlace(old, stored);
    for (std::size_t i = 0; i < plan.writes.size(); ++i) {
#ifdef VELMOR_TEST_HOOKS
        if (i == plan.addsOnly)
            HoldForTests(L"in-place-copy-written");
#endif
        const ListWrite& write = plan.writes[i];
        if (write.endHere) {
            if (EndAt(file.get(), write.offset))
                return true;
        } else if (!WriteAt(file.get(), write.offset, write.bytes)) {
            if (i < plan.addsOnly)
                EndAt(file.get(), old.size());
            return false;
        }
    }
    return !plan.writes.empty() || old == stored;
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
    // A list read only in part would be written back without the rest.
    std::string bytes;
    if (!ReadRest(file.get(), bytes))
        return false;
    list = ScanSoftwareList(TextOfStored(bytes));
    return true;
}

bool UpdateSoftwareListIn(const HeldFolder& folder, const std::wstring& name,
                          const ListChange& change) {
    SoftwareList list;
    if (!ReadSoftwareListIn(folder, name, list))
        return false;
    {
        BY_HANDLE_FILE_INFORMATION info{};
        const UniqueFileHandle current = OpenInFolder(
            folder, name, FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, info);
        if (current ? (info.dwFileAttributes & kKeepsItsContent) != 0
                    : GetLastError() != ERROR_FILE_NOT_FOUND)
            return false;
    }
    // Truncating the list in place would lose every other product's record
    // when the write fails half-way, so the old file is replaced only by a
    // complete new one. Its name is fixed, so that what a killed run leaves
    // is reused and removed by the next.
    const std::string stored = StoredForm(FormatSoftwareList(change(std::move(list))));
    const std::wstring temp = name + L".tmp";
    FreeNameIn(folder, temp);
    BY_HANDLE_FILE_INFORMATION info{};
    UniqueFileHandle file = OpenInFolder(folder, temp, GENERIC_WRITE | DELETE, 0, CREATE_NEW, info);
    if (!file)
        return false;
    if (!WriteAt(file.get(), 0, stored)) {
        RemoveThrough(file.get());
        return false;
    }
    if (RenameThrough(file.get(), PathIn(folder, name), true))
        return true;
    const DWORD error = GetLastError();
    RemoveThrough(file.get());
    file.reset();
    return (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) &&
           WriteInPlace(folder, name, change);
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
        UpdateSoftwareListIn(folder, NameOf(path), [&list](SoftwareList) { return list; });
}
