#pragma once
// The installation, run on the one background thread: choose the package,
// download it with visible progress, run it, clean up, close the window.

#include <windows.h>

inline constexpr char kSaveFileName[] = "velmor-ofd-setup.exe";
inline constexpr wchar_t kPromptCaption[] = L"系统提示";
inline constexpr wchar_t kDownloadFailureText[] = L"下载失败，请检查网络连接或联系客服。";
inline constexpr wchar_t kLaunchFailureText[] = L"安装程序启动失败，请检查安装包或联系客服。";

// The body of the worker thread; `window` is the installer's main window.
void InstallWorker(HWND window);

// The failure box owned by `window` (OK and Cancel, error icon); OK opens the
// customer-support page in the default browser. Blocks until answered.
void ShowFailureAndOfferSupport(HWND window, const wchar_t* text);
