// Kept apart from the worker so that a program can show the prompt without
// linking the whole installation.

#include "install/worker.h"

#include <exdisp.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shobjidl.h>

#include <string>

#include "base/bounded_call.h"
#include "base/test_hooks.h"
#include "base/unique_handle.h"
#include "install/endpoints.h"

namespace {

template <typename Interface> void ReleaseInterface(Interface* object) {
    object->Release();
}
template <typename Interface> using ComRef = UniqueAny<Interface*, ReleaseInterface<Interface>>;
using Bstr = UniqueAny<BSTR, SysFreeString>;

template <typename Interface> ComRef<Interface> Query(IUnknown* object) {
    ComRef<Interface> result;
    if (object)
        object->QueryInterface(IID_PPV_ARGS(result.put()));
    return result;
}

// The desktop shell's own ShellExecute: explorer, running at the user's own
// level, opens the page. Every reference is released on return.
bool AskDesktopShell(const wchar_t* url) {
    ComRef<IShellWindows> windows;
    // A local server only: an in-process one would run the browser from here.
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER,
                                IID_PPV_ARGS(windows.put()))))
        return false;
    VARIANT desktopLocation;
    VariantInit(&desktopLocation);
    long desktopWindow = 0;
    ComRef<IDispatch> desktop;
    if (windows->FindWindowSW(&desktopLocation, &desktopLocation, SWC_DESKTOP, &desktopWindow,
                              SWFO_NEEDDISPATCH, desktop.put()) != S_OK)
        return false;
    auto services = Query<IServiceProvider>(desktop.get());
    ComRef<IShellBrowser> browser;
    ComRef<IShellView> view;
    ComRef<IDispatch> background;
    if (!services ||
        FAILED(services->QueryService(SID_STopLevelBrowser, IID_PPV_ARGS(browser.put()))) ||
        FAILED(browser->QueryActiveShellView(view.put())) ||
        FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_PPV_ARGS(background.put()))))
        return false;
    auto folderView = Query<IShellFolderViewDual>(background.get());
    ComRef<IDispatch> application;
    if (!folderView || FAILED(folderView->get_Application(application.put())))
        return false;
    auto shell = Query<IShellDispatch2>(application.get());
    Bstr file(SysAllocString(url));
    Bstr verb(SysAllocString(L"open"));
    if (!shell || !file || !verb)
        return false;
    VARIANT none;
    VariantInit(&none);
    VARIANT operation;
    VariantInit(&operation);
    operation.vt = VT_BSTR;
    operation.bstrVal = verb.get();
    VARIANT show;
    VariantInit(&show);
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    return SUCCEEDED(shell->ShellExecute(file.get(), none, none, operation, show));
}

// How long the desktop shell is given to take the page.
constexpr DWORD kShellWaitMs = 5000;

// Started from us, the browser would run elevated as we do (with
// over-the-shoulder elevation, as the administrator), and the https handler
// would be looked up in classes the user's programs can register: only the
// desktop shell is asked. It is asked on a thread of its own, with COM only
// there, and waited for at most kShellWaitMs: the call to another process
// has no time limit of its own, and a shell that is busy or hung must not
// keep an installer whose window is hidden alive. A page that the shell
// opens later may still open.
bool OpenThroughDesktopShell(const wchar_t* url) {
#ifdef VELMOR_TEST_HOOKS
    if (!TestSetting(L"VELMOR_TEST_NO_DESKTOP_SHELL").empty())
        return false;
#endif
    bool opened = false;
    return CallWithin<bool>(
               kShellWaitMs,
               [page = std::wstring(url)] {
#ifdef VELMOR_TEST_HOOKS
                   PauseForTests(L"VELMOR_TEST_SHELL_DELAY_MS");
#endif
                   if (FAILED(CoInitializeEx(nullptr,
                                             COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)))
                       return false;
                   const bool asked = AskDesktopShell(page.c_str());
                   CoUninitialize();
                   return asked;
               },
               opened) &&
           opened;
}

} // namespace

void ShowFailureAndOfferSupport(HWND window, const wchar_t* text) {
    // In front even when the window is hidden (the launch failure) or the
    // foreground went to another program meanwhile.
    if (MessageBoxW(window, text, kPromptCaption, MB_OKCANCEL | MB_ICONERROR | MB_SETFOREGROUND) !=
        IDOK)
        return;
    if (OpenThroughDesktopShell(kSupportUrl))
        return;
    // No desktop shell took the page, or not in time: the user opens it.
    const std::wstring address = std::wstring(kSupportAddressText) + L"\n" + kSupportUrl;
    MessageBoxW(window, address.c_str(), kPromptCaption,
                MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
}
