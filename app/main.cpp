// Process entry: the window, centred on the primary screen, and its message loop.

#include <windows.h>

#include <commctrl.h>

#include "app/dll_safety.h"
#include "app/window.h"

namespace {

void CentreOnPrimaryScreen(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    const int x = CenteredOrigin(GetSystemMetrics(SM_CXSCREEN), rect.right - rect.left);
    const int y = CenteredOrigin(GetSystemMetrics(SM_CYSCREEN), rect.bottom - rect.top);
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    RestrictDllSearchToSystem32();
    g_instance = instance;

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = InstallerWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    g_background = LoadBackground(nullptr);
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(kIconId));
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassW(&windowClass);

    g_mainWindow =
        CreateWindowExW(0, kWindowClassName, kWindowTitle, WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                        kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
    // Without a window no WM_QUIT would ever come: end here rather than wait forever.
    if (!g_mainWindow)
        return 0;

    CentreOnPrimaryScreen(g_mainWindow);
    ShowWindow(g_mainWindow, showCommand);
    UpdateWindow(g_mainWindow);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
