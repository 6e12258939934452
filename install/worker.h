#pragma once
// The installation, run on the one background thread: choose the package,
// download it with visible progress, run it, clean up, close the window.

#include <windows.h>

#include <string_view>

inline constexpr char kSaveFileName[] = "velmor-ofd-setup.exe";
// The setup program runs under the name it was saved as, which must say that
// it is a program, for the shell and the program itself.
static_assert(sizeof kSaveFileName > 5 &&
                  std::string_view(kSaveFileName).rfind(".exe") == sizeof kSaveFileName - 5,
              "the save name ends in .exe");
inline constexpr wchar_t kPromptCaption[] = L"系统提示";
inline constexpr wchar_t kDownloadFailureText[] = L"下载失败，请检查网络连接或联系客服。";
inline constexpr wchar_t kLaunchFailureText[] = L"安装程序启动失败，请检查安装包或联系客服。";
// Shown, followed by a line break and the support page's address, when the
// desktop shell cannot open the page for the user.
inline constexpr wchar_t kSupportAddressText[] = L"请在浏览器中打开以下网址联系客服：";

// The body of the worker thread; `window` is the installer's main window.
void InstallWorker(HWND window);

// The failure box owned by `window` (OK and Cancel, error icon); OK has the
// desktop shell open the customer-support page in the user's browser, or,
// where no desktop shell answers, shows the page's address for the user to
// open. Nothing is ever started from this elevated process. Blocks until
// answered.
void ShowFailureAndOfferSupport(HWND window, const wchar_t* text);
