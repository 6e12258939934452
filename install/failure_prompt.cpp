// Kept apart from the worker so that a program can show the prompt without
// linking the whole installation.

#include "install/worker.h"

#include <exdisp.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shobjidl.h>

#include "base/unique_handle.h"
#include "install/endpoints.h"

namespace {

template <typename Interface> void ReleaseInterface(Interface* object) {
    object->Release();
}
template <typename Interface> using ComRef = UniqueAny<Interface*, ReleaseInterface<Interface>>;
using Bstr = UniqueAny<BSTR, SysFreeString>;

template <typename Interface> ComRef<Interface> Query(IUnknown* object) {
    Interface* result = nullptr;
    if (object)
        object->QueryInterface(IID_PPV_ARGS(&result));
    return ComRef<Interface>(result);
}

// Asks the desktop shell (explorer, running at the user's own level) to open
// the page. Started from us, the browser would run elevated as we do: with
// over-the-shoulder elevation, as the administrator. False when there is no
// desktop shell to ask.
bool OpenThroughDesktopShell(const wchar_t* url) {
    IShellWindows* rawWindows = nullptr;
    // A local server only: an in-process one would run the browser from here.
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER,
                                IID_PPV_ARGS(&rawWindows))))
        return false;
    ComRef<IShellWindows> windows(rawWindows);

    VARIANT desktopLocation;
    VariantInit(&desktopLocation);
    long desktopWindow = 0;
    IDispatch* rawDesktop = nullptr;
    if (windows.get()->FindWindowSW(&desktopLocation, &desktopLocation, SWC_DESKTOP, &desktopWindow,
                                    SWFO_NEEDDISPATCH, &rawDesktop) != S_OK)
        return false;
    ComRef<IDispatch> desktop(rawDesktop);

    auto services = Query<IServiceProvider>(desktop.get());
    IShellBrowser* rawBrowser = nullptr;
    if (!services ||
        FAILED(services.get()->QueryService(SID_STopLevelBrowser, IID_PPV_ARGS(&rawBrowser))))
        return false;
    ComRef<IShellBrowser> browser(rawBrowser);
    IShellView* rawView = nullptr;
    if (FAILED(browser.get()->QueryActiveShellView(&rawView)))
        return false;
    ComRef<IShellView> view(rawView);
    IDispatch* rawBackground = nullptr;
    if (FAILED(view.get()->GetItemObject(SVGIO_BACKGROUND, IID_PPV_ARGS(&rawBackground))))
        return false;
    ComRef<IDispatch> background(rawBackground);
    auto folderView = Query<IShellFolderViewDual>(background.get());
    IDispatch* rawApplication = nullptr;
    if (!folderView || FAILED(folderView.get()->get_Application(&rawApplication)))
        return false;
    ComRef<IDispatch> application(rawApplication);
    auto shell = Query<IShellDispatch2>(application.get());
    if (!shell)
        return false;

    Bstr file(SysAllocString(url));
    Bstr verb(SysAllocString(L"open"));
    if (!file || !verb)
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
    return SUCCEEDED(shell.get()->ShellExecute(file.get(), none, none, operation, show));
}

} // namespace

void ShowFailureAndOfferSupport(HWND window, const wchar_t* text) {
    if (MessageBoxW(window, text, kPromptCaption, MB_OKCANCEL | MB_ICONERROR) != IDOK)
        return;
    if (!OpenThroughDesktopShell(kSupportUrl))
        ShellExecuteW(nullptr, L"open", kSupportUrl, nullptr, nullptr, SW_SHOWNORMAL);
}
