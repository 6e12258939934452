// A stand-in for a real setup program, served as an installation package.
// Built once per package (VELMOR_FAKE_PACKAGE names it). It appends a line
// to the file named by VELMOR_SETUP_LOG when it starts and another when it
// ends, so a test can tell which package ran, where, and what the installer
// looked like meanwhile. VELMOR_FAKE_SETUP_SECONDS makes it run that long.
// With VELMOR_FAKE_SETUP_WINDOW it shows a small window while it runs.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef VELMOR_FAKE_PACKAGE
#error "VELMOR_FAKE_PACKAGE must name the package"
#endif

namespace {

std::string Utf8(const std::wstring& text) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring Environment(const wchar_t* name) {
    wchar_t buffer[1024] = {};
    const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
    return length > 0 && length < 1024 ? buffer : L"";
}

std::wstring InstallerWindowState() {
    HWND window = FindWindowW(L"VelmorInstaller", nullptr);
    if (!window)
        return L"none";
    return IsWindowVisible(window) ? L"visible" : L"hidden";
}

void Record(const std::wstring& event) {
    const std::wstring log = Environment(L"VELMOR_SETUP_LOG");
    if (log.empty())
        return;
    wchar_t directory[MAX_PATH] = {}, self[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t arguments[16] = {};
    swprintf(arguments, 16, L"%d", __argc - 1);
    // Milliseconds since 1970, for scripts that time the installer from outside.
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG unixMs =
        ((ULONGLONG{now.dwHighDateTime} << 32 | now.dwLowDateTime) - 116444736000000000ULL) / 10000;
    const std::wstring line = L"package=" VELMOR_FAKE_PACKAGE L"\tevent=" + event + L"\tpid=" +
                              std::to_wstring(GetCurrentProcessId()) + L"\targuments=" + arguments +
                              L"\tcwd=" + directory + L"\tself=" + self + L"\tinstaller_window=" +
                              InstallerWindowState() + L"\tunix_ms=" + std::to_wstring(unixMs) +
                              L"\n";
    if (FILE* file = _wfopen(log.c_str(), L"ab")) {
        const std::string bytes = Utf8(line);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

#ifdef VELMOR_FAKE_SETUP_WINDOW
LRESULT CALLBACK DemoProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client;
        GetClientRect(window, &client);
        DrawTextW(dc, L"Velmor OFD setup (demo): installing...", -1, &client,
                  DT_SINGLELINE | DT_CENTER | DT_VCENTER);
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Shows a small window for `milliseconds`, pumping its messages.
void ShowDemoWindow(DWORD milliseconds) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DemoProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"VelmorFakeSetup";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"VelmorFakeSetup", L"Velmor OFD Setup",
                                  WS_OVERLAPPED | WS_CAPTION, CW_USEDEFAULT, CW_USEDEFAULT, 420,
                                  160, nullptr, nullptr, windowClass.hInstance, nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    const ULONGLONG end = GetTickCount64() + milliseconds;
    MSG message;
    while (GetTickCount64() < end) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
        Sleep(20);
    }
    DestroyWindow(window);
}
#endif

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    Record(L"start");
    const std::wstring seconds = Environment(L"VELMOR_FAKE_SETUP_SECONDS");
    const DWORD milliseconds =
        static_cast<DWORD>(seconds.empty() ? 0.0 : std::wcstod(seconds.c_str(), nullptr) * 1000);
#ifdef VELMOR_FAKE_SETUP_WINDOW
    ShowDemoWindow(milliseconds);
#else
    Sleep(milliseconds);
#endif
    Record(L"end");
    // Not 0, to show that the installer does not judge the setup's outcome.
    return 7;
}
