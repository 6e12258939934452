#include "app/progress_display.h"

#include <commctrl.h>

#include "app/window.h"

ProgressCallback MakeProgressCallback(HWND window) {
    return [window](std::uint64_t downloaded, std::uint64_t total) {
        const int percent = ProgressPercent(downloaded, total);
        // A cross-thread send: the worker waits until the window thread has moved the bar.
        SendMessageW(GetDlgItem(window, kProgressBarId), PBM_SETPOS,
                     static_cast<WPARAM>(static_cast<INT_PTR>(percent)), 0);
        ProgressState.downloaded.store(downloaded, std::memory_order_relaxed);
        ProgressState.total.store(total, std::memory_order_relaxed);
        InvalidateRect(window, nullptr, FALSE);
    };
}
