#include "base/shell_token.h"

namespace {

// Opens the token of the shell's process `processId`, once that process is
// open and still the shell's, so that the id was not reused in between.
// `error` is what failed: ERROR_ACCESS_DENIED where another account's
// process or token was refused.
UniqueHandle OpenShellTokenOf(DWORD processId, DWORD& error) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    error = process ? ERROR_SUCCESS : GetLastError();
    DWORD shellNow = 0;
    if (process &&
        (!GetWindowThreadProcessId(GetShellWindow(), &shellNow) || shellNow != processId))
        error = ERROR_INVALID_WINDOW_HANDLE;
    HANDLE token = nullptr;
    if (error == ERROR_SUCCESS && !OpenProcessToken(process.get(), kShellTokenAccess, &token))
        error = GetLastError();
    return UniqueHandle(error == ERROR_SUCCESS ? token : nullptr);
}

// Opens the process's token with the debug privilege, which Windows asks
// for when the process runs as another account. The privilege is enabled on
// this thread's own copy of our token, for this one open: the process's
// token never changes.
UniqueHandle OpenTokenOfAnotherAccount(DWORD processId) {
    if (!ImpersonateSelf(SecurityImpersonation))
        return UniqueHandle();
    UniqueHandle token;
    HANDLE thread = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES, TRUE, &thread)) {
        const UniqueHandle threadToken(thread);
        TOKEN_PRIVILEGES debug{};
        debug.PrivilegeCount = 1;
        debug.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        // It succeeds with ERROR_NOT_ALL_ASSIGNED when the privilege is not
        // ours: then there is nothing to try.
        if (LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &debug.Privileges[0].Luid) &&
            AdjustTokenPrivileges(threadToken.get(), FALSE, &debug, 0, nullptr, nullptr) &&
            GetLastError() == ERROR_SUCCESS) {
            DWORD error = ERROR_SUCCESS;
            token = OpenShellTokenOf(processId, error);
        }
    }
    // A thread that stays another token, with the privilege, must not run on.
    if (!RevertToSelf())
        TerminateProcess(GetCurrentProcess(), ERROR_CANNOT_IMPERSONATE);
    return token;
}

} // namespace

UniqueHandle ShellToken() {
    const HWND shell = GetShellWindow();
    DWORD processId = 0;
    if (!shell || !GetWindowThreadProcessId(shell, &processId) || processId == 0)
        return UniqueHandle();
    DWORD error = ERROR_SUCCESS;
    UniqueHandle token = OpenShellTokenOf(processId, error);
    if (error == ERROR_ACCESS_DENIED)
        token = OpenTokenOfAnotherAccount(processId);
    return token;
}
