#pragma once
// The installer's only top-level window: a borderless popup with the
// background picture, the close glyph, the progress text and the progress bar.

#include <windows.h>

inline constexpr wchar_t kWindowClassName[] = L"VelmorInstaller";
inline constexpr wchar_t kWindowTitle[] = L"Velmor Installer";
inline constexpr int kWindowWidth = 560;
inline constexpr int kWindowHeight = 310;
inline constexpr int kProgressBarId = 1001;
inline constexpr int kIconId = 101;
inline constexpr int kBackgroundBitmapId = 102;
inline constexpr wchar_t kBackgroundMissingText[] = L"背景图加载失败！";
inline constexpr wchar_t kBackgroundMissingCaption[] = L"错误";
// The close glyph's hotspot: a square of this many pixels a side, this many
// pixels in from the client area's top and right edges.
inline constexpr int kCloseHotspotSide = 31;
inline constexpr int kCloseHotspotMargin = 10;

// Process-wide handles, written on the main thread only.
extern HINSTANCE g_instance;
extern HWND g_mainWindow;
extern HWND g_progressBar;
extern HBITMAP g_background;

LRESULT CALLBACK InstallerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Loads bitmap 102; tells the user (owned by `owner`, which may be null) when it is missing.
HBITMAP LoadBackground(HWND owner);

// Where a window of `windowExtent` starts so that it is centred on a screen
// of `screenExtent`; the halving rounds toward zero, as C++ division does.
int CenteredOrigin(int screenExtent, int windowExtent);

// Whether a left-button release at (x, y), read as unsigned 16-bit client
// coordinates, lies on the close glyph's hotspot; all four bounds inclusive.
bool IsInCloseHotspot(LONG clientRight, unsigned x, unsigned y);
