#pragma once
// Seams of the installer's test variants only (built with VELMOR_TEST_HOOKS),
// so that a test can act at exactly one point of a run. The shipped installer
// is built without them: neither the code nor the variables' names are in it.
// Only sources that each program compiles itself may use them (see
// cmake/VelmorProgramSources.cmake), and the net library's variant that only
// the download's tests link (net/CMakeLists.txt).

#ifdef VELMOR_TEST_HOOKS

#include <windows.h>

#include <cwchar>
#include <string>

inline std::wstring TestSetting(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

// Sleeps for the milliseconds that the variable `name` holds.
inline void PauseForTests(const wchar_t* name) {
    Sleep(static_cast<DWORD>(std::wcstoul(TestSetting(name).c_str(), nullptr, 10)));
}

// When VELMOR_TEST_HOLD_AT names `point`: creates the file that
// VELMOR_TEST_HOLD_FILE names and waits until the test has removed it (at
// most 60 s), so that the test acts while the run stands here.
inline void HoldForTests(const wchar_t* point) {
    const std::wstring marker = TestSetting(L"VELMOR_TEST_HOLD_FILE");
    if (TestSetting(L"VELMOR_TEST_HOLD_AT") != point || marker.empty())
        return;
    CloseHandle(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    for (int waited = 0;
         waited < 6000 && GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES; ++waited)
        Sleep(10);
}

#endif
