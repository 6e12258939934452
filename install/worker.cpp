#include "install/worker.h"

#include <objbase.h>

#include <string>
#include <vector>

#include "app/progress_display.h"
#include "base/unique_handle.h"
#include "base/widen.h"
#include "install/endpoints.h"
#include "install/package.h"
#include "install/probes.h"
#include "net/download.h"
#include "net/sha256.h"

namespace {

// Windows 10 1607's flag; the build targets Windows 7, whose headers lack it.
constexpr DWORD64 kPreferSystem32Images = 1ULL << 60;

// Asks only what the choice needs: Windows 7 is never searched for the runtime.
const char* ChoosePackageForThisMachine() {
    const bool atLeast61 = WindowsVersionAtLeast(6, 1, 0);
    const bool atLeast62 = atLeast61 && WindowsVersionAtLeast(6, 2, 0);
    const bool runtimePresent = !IsWindows7(atLeast61, atLeast62) && IsWebView2RuntimePresent();
    return ChoosePackagePath(atLeast61, atLeast62, runtimePresent);
}

// The failure prompt opens the support page through the desktop shell's COM
// objects; this thread's apartment lives as long as the worker.
struct ComApartment {
    const bool initialised =
        SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    ~ComApartment() {
        if (initialised)
            CoUninitialize();
    }
};

#ifdef VELMOR_TEST_HOOKS
// Test builds only: a pause between closing the download and checking it, so
// that a test can change the file in that gap at will.
void PauseBeforeCheckForTests() {
    wchar_t milliseconds[16] = {};
    const DWORD length =
        GetEnvironmentVariableW(L"VELMOR_TEST_PAUSE_BEFORE_CHECK_MS", milliseconds, 16);
    if (length > 0 && length < 16)
        Sleep(static_cast<DWORD>(_wtoi(milliseconds)));
}
#endif

// Opens the downloaded file so that, while the handle is held, nobody can
// write, rename or delete it (an open for writing fails, too, while anybody
// else still writes it), and returns it only when it holds exactly the bytes
// that were downloaded.
UniqueFileHandle OpenIfAsDownloaded(const std::wstring& path, const Sha256Digest& downloaded) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    Sha256Digest now{};
    if (!file || !Sha256OfFile(file.get(), now) || now != downloaded)
        return UniqueFileHandle();
    return file;
}

// Starts the setup program with no arguments, in our own directory and
// environment; null when Windows cannot start it. Where Windows knows the
// mitigation (Windows 10 1607 on), the program loads system DLLs from System32
// before any planted beside it in the download folder; elsewhere it starts as
// it always did.
UniqueHandle StartSetup(const std::wstring& program) {
    PROCESS_INFORMATION process{};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    DWORD64 policy = kPreferSystem32Images;
    bool started = false;
    bool unsupported = true;
    if (size > 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY,
                                      &policy, sizeof policy, nullptr, nullptr)) {
            STARTUPINFOEXW startup{};
            startup.StartupInfo.cb = sizeof startup;
            startup.lpAttributeList = attributes;
            started = CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, FALSE,
                                     EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                     &startup.StartupInfo, &process);
            const DWORD error = GetLastError();
            unsupported =
                !started && (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED);
        }
        DeleteProcThreadAttributeList(attributes);
    }
    if (!started && unsupported) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        started = CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &process);
    }
    if (!started)
        return UniqueHandle();
    CloseHandle(process.hThread);
    return UniqueHandle(process.hProcess);
}

} // namespace

void InstallWorker(HWND window) {
    const ComApartment com;
    const std::string url = PackageUrl(kDownloadHost, ChoosePackageForThisMachine());
    const std::string savePath = kSaveFileName;
    std::string error;
    Sha256Digest downloaded{};
    if (!DownloadFile(url, savePath, error, MakeProgressCallback(window), &downloaded)) {
        // The window stays, with its last progress, until the user closes it.
        ShowFailureAndOfferSupport(window, kDownloadFailureText);
        return;
    }

    const std::wstring savedAs = WidenBytes(savePath);
    const std::wstring launchPath = LaunchPathFor(savedAs);
    if (launchPath != savedAs)
        MoveFileW(savedAs.c_str(), launchPath.c_str());

#ifdef VELMOR_TEST_HOOKS
    PauseBeforeCheckForTests();
#endif
    // Between closing the download and starting it, the file lies in a
    // folder that unelevated programs can write: it runs only if it still
    // holds what was downloaded, and it is held until Windows has opened it.
    UniqueFileHandle held = OpenIfAsDownloaded(launchPath, downloaded);
    if (!held) {
        DeleteFileW(launchPath.c_str());
        ShowFailureAndOfferSupport(window, kDownloadFailureText);
        return;
    }

    ShowWindow(window, SW_HIDE);
    UniqueHandle setup = StartSetup(launchPath);
    held.reset();
    if (setup) {
        WaitForSingleObject(setup.get(), INFINITE);
        setup.reset();
        DeleteFileW(launchPath.c_str());
    } else {
        ShowFailureAndOfferSupport(window, kLaunchFailureText);
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
}
