// Kept apart from the worker so that a program can show the prompt without
// linking the whole installation.

#include "install/worker.h"

#include <shellapi.h>

#include "install/endpoints.h"

void ShowFailureAndOfferSupport(HWND window, const wchar_t* text) {
    if (MessageBoxW(window, text, kPromptCaption, MB_OKCANCEL | MB_ICONERROR) == IDOK)
        ShellExecuteW(nullptr, L"open", kSupportUrl, nullptr, nullptr, SW_SHOWNORMAL);
}
