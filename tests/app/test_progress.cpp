// Percentage, progress text, centring and hotspot rules, and the progress
// callback against a real window of this process.

#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "app/progress.h"
#include "app/progress_display.h"
#include "app/window.h"

namespace {

TEST(ProgressPercent, RoundsDownAndIsNotClamped) {
    struct Case {
        std::uint64_t downloaded, total;
        int percent;
    } cases[] = {
        {0, 0, 0},         {12345, 0, 0},     {1, 3, 33},           {2, 3, 66},
        {2000, 2000, 100}, {3000, 2000, 150}, {8192, 209715200, 0}, {209715200, 209715200, 100},
        {1, 100, 1},       {99, 100, 99},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProgressPercent(c.downloaded, c.total), c.percent)
            << c.downloaded << "/" << c.total;
}

TEST(ProgressText, FormatsWithFullWidthColon) {
    struct Case {
        int percent;
        const wchar_t* text;
    } cases[] = {
        {0, L"下载进度：0%"},     {33, L"下载进度：33%"}, {100, L"下载进度：100%"},
        {150, L"下载进度：150%"}, {-5, L"下载进度：-5%"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(std::wstring(FormatProgressText(c.percent).data()), c.text) << c.percent;
}

TEST(ProgressText, OwnFontEverywhereButGbk) {
    const struct {
        unsigned codePage;
        bool needsFont;
    } table[] = {
        {936, false},                                                          // Simplified Chinese
        {950, true},                                                           // Big5: no 载, 进
        {932, true},   {949, true},                                            // Japanese, Korean
        {1252, true},  {1251, true},  {1250, true}, {874, true}, {1256, true}, // Western and others
        {65001, true}, {54936, true}, {0, true}, // UTF-8, GB18030, none
    };
    for (const auto& row : table)
        EXPECT_EQ(NeedsChineseFont(row.codePage), row.needsFont) << row.codePage;
}

TEST(Window, CentredOriginRoundsTowardZero) {
    struct Case {
        int screen, window, origin;
    } cases[] = {{1366, 560, 403}, {768, 310, 229}, {559, 560, 0},
                 {500, 560, -30},  {560, 560, 0},   {1920, 560, 680}};
    for (const Case& c : cases)
        EXPECT_EQ(CenteredOrigin(c.screen, c.window), c.origin) << c.screen;
}

TEST(Window, CloseHotspotBoundsAreInclusive) {
    struct Case {
        unsigned x, y;
        bool hit;
    } cases[] = {
        {520, 10, true},  {550, 40, true},    {535, 25, true},     {520, 40, true},
        {550, 10, true},  {519, 25, false},   {551, 25, false},    {535, 9, false},
        {535, 41, false}, {65535, 25, false}, {535, 65535, false}, {0, 0, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsInCloseHotspot(560, c.x, c.y), c.hit) << c.x << "," << c.y;
}

// A bare window with a progress bar under the installer's control identifier.
struct BarWindow {
    HWND window = nullptr;
    HWND bar = nullptr;
    BarWindow() {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        bar = CreateWindowExW(0, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE, 0, 90, 100, 10,
                              window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kProgressBarId)),
                              GetModuleHandleW(nullptr), nullptr);
        SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    }
    ~BarWindow() {
        if (IsWindow(window))
            DestroyWindow(window);
    }
    int position() const { return static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)); }
};

TEST(ProgressCallback, MovesTheBarAndStoresTheCounters) {
    BarWindow target;
    ASSERT_NE(target.bar, nullptr);
    ProgressCallback callback = MakeProgressCallback(target.window);
    callback(1, 3);
    EXPECT_EQ(target.position(), 33);
    EXPECT_EQ(ProgressState.downloaded.load(), 1u);
    EXPECT_EQ(ProgressState.total.load(), 3u);
    callback(500, 0);
    EXPECT_EQ(target.position(), 0);
    EXPECT_EQ(ProgressState.downloaded.load(), 500u);
    EXPECT_EQ(ProgressState.total.load(), 0u);
    callback(2000, 2000);
    EXPECT_EQ(target.position(), 100);
}

TEST(ProgressCallback, AfterTheWindowIsGoneOnlyStoresTheCounters) {
    BarWindow target;
    ProgressCallback callback = MakeProgressCallback(target.window);
    callback(10, 100);
    ASSERT_TRUE(DestroyWindow(target.window));
    ASSERT_FALSE(IsWindow(target.bar));
    callback(77, 1000);
    EXPECT_EQ(ProgressState.downloaded.load(), 77u);
    EXPECT_EQ(ProgressState.total.load(), 1000u);
    // A copy carries the same window and behaves the same.
    ProgressCallback copy = callback;
    copy(3000, 2000);
    EXPECT_EQ(ProgressState.downloaded.load(), 3000u);
    EXPECT_EQ(ProgressState.total.load(), 2000u);
}

} // namespace
