// The installer window's painting, in this process: the real window procedure
// and resources, progress reported from a second thread as the worker does.

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "app/progress.h"
#include "app/progress_display.h"
#include "app/window.h"

namespace {
std::atomic<bool> g_workerStarted{false};
} // namespace

// The window starts the installation when it is created. Here a worker that
// only says it ran stands in for it, so that only this test moves the progress.
void InstallWorker(HWND) {
    g_workerStarted = true;
}

// This program links with --wrap=pthread_detach: every std::thread::detach()
// in it throws, as it may when the thread library refuses.
extern "C" int __wrap_pthread_detach(pthread_t) {
    return EINVAL;
}

namespace {

constexpr COLORREF kFill = RGB(117, 130, 225);
constexpr COLORREF kWhite = RGB(255, 255, 255);

void Pump(DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    MSG message;
    while (GetTickCount64() < end) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    }
}

HWND CreateInstallerWindow() {
    g_instance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = InstallerWindowProc;
    windowClass.hInstance = g_instance;
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, kWindowClassName, kWindowTitle, WS_POPUP, 0, 0, kWindowWidth,
                                  kWindowHeight, nullptr, nullptr, g_instance, nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    Pump(300);
    return window;
}

// Share of the pixels of row `y` from `left` to `right` (exclusive) that have `colour`.
double RowShare(HDC dc, int y, int left, int right, COLORREF colour) {
    int matches = 0;
    for (int x = left; x < right; ++x)
        matches += GetPixel(dc, x, y) == colour;
    return static_cast<double>(matches) / (right - left);
}

// The progress text strip: "下载进度：N%" in white on the picture.
std::vector<COLORREF> TextStrip(HWND window) {
    HDC dc = GetDC(window);
    std::vector<COLORREF> pixels;
    for (int y = 280; y < 300; ++y)
        for (int x = 8; x < 140; ++x)
            pixels.push_back(GetPixel(dc, x, y));
    ReleaseDC(window, dc);
    return pixels;
}

// The worker's thread could not be detached: it runs all the same, and the
// process goes on (a joinable std::thread destroyed would end it).
TEST(WorkerStart, AThreadThatCannotBeDetachedStillRuns) {
    HWND window = CreateInstallerWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(g_workerStarted);
    DestroyWindow(window);
    Pump(50);
}

TEST(Paint, HalfwayProgressFillsTheLeftHalfOfTheBar) {
    HWND window = CreateInstallerWindow();
    ASSERT_NE(window, nullptr);
    const std::vector<COLORREF> textAtZero = TextStrip(window);
    HWND bar = GetDlgItem(window, kProgressBarId);
    ASSERT_NE(bar, nullptr);
    HDC barDc = GetDC(bar);

    // Before any progress: an empty, white bar.
    EXPECT_GT(RowShare(barDc, 5, 2, 558, kWhite), 0.95);

    std::atomic<bool> done{false};
    std::thread worker([window, &done] {
        MakeProgressCallback(window)(50, 100);
        done = true;
    });
    // The callback's message to the bar needs this thread to pump.
    while (!done)
        Pump(20);
    worker.join();
    UpdateWindow(window);
    Pump(300);

    EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 50);
    // The classic bar draws its fill in blocks; gaps between blocks stay white.
    const double filled = RowShare(barDc, 5, 2, 278, kFill);
    const double gaps = RowShare(barDc, 5, 2, 278, kWhite);
    EXPECT_GT(filled, 0.6) << "left half";
    EXPECT_NEAR(filled + gaps, 1.0, 0.02) << "left half holds only fill and gaps";
    EXPECT_GT(RowShare(barDc, 5, 290, 558, kWhite), 0.98) << "right half";
    ReleaseDC(bar, barDc);

    // The window's own text now reads 50 %: white text over the red strip,
    // redrawn, so no longer the text of 0 %.
    const std::vector<COLORREF> textAtHalf = TextStrip(window);
    int white = 0;
    int changed = 0;
    for (std::size_t i = 0; i < textAtHalf.size(); ++i) {
        white += textAtHalf[i] == kWhite;
        changed += textAtHalf[i] != textAtZero[i];
    }
    EXPECT_GT(white, 40);
    EXPECT_GT(changed, 20) << "the text was not redrawn";
    DestroyWindow(window);
    Pump(50);
}

} // namespace
