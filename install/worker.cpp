#include "install/worker.h"

#include <string>

#include "app/progress_display.h"
#include "app/unique_handle.h"
#include "install/endpoints.h"
#include "install/package.h"
#include "install/probes.h"
#include "net/download.h"

namespace {

// Asks only what the choice needs: Windows 7 is never searched for the runtime.
const char* ChoosePackageForThisMachine() {
    const bool atLeast61 = WindowsVersionAtLeast(6, 1, 0);
    const bool atLeast62 = atLeast61 && WindowsVersionAtLeast(6, 2, 0);
    const bool runtimePresent = !IsWindows7(atLeast61, atLeast62) && IsWebView2RuntimePresent();
    return ChoosePackagePath(atLeast61, atLeast62, runtimePresent);
}

// Starts the setup program with no arguments, in our own directory and
// environment; false when Windows cannot start it.
bool RunAndWait(const std::wstring& program) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    WaitForSingleObject(processHandle.get(), INFINITE);
    processHandle.reset();
    threadHandle.reset();
    return true;
}

} // namespace

void InstallWorker(HWND window) {
    const std::string url = PackageUrl(kDownloadHost, ChoosePackageForThisMachine());
    const std::string savePath = kSaveFileName;
    std::string error;
    if (!DownloadFile(url, savePath, error, MakeProgressCallback(window))) {
        // The window stays, with its last progress, until the user closes it.
        ShowFailureAndOfferSupport(window, kDownloadFailureText);
        return;
    }

    const std::wstring savedAs = WidenBytes(savePath);
    const std::wstring launchPath = LaunchPathFor(savedAs);
    if (launchPath != savedAs)
        MoveFileW(savedAs.c_str(), launchPath.c_str());

    ShowWindow(window, SW_HIDE);
    if (RunAndWait(launchPath))
        DeleteFileW(launchPath.c_str());
    else
        ShowFailureAndOfferSupport(window, kLaunchFailureText);
    PostMessageW(window, WM_CLOSE, 0, 0);
}
