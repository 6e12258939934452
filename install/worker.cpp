#include "install/worker.h"

#include <string>
#include <vector>

#include "app/progress_display.h"
#include "base/file_by_handle.h"
#include "base/held_folder.h"
#include "base/shell_token.h"
#include "base/test_hooks.h"
#include "base/unique_handle.h"
#include "base/widen.h"
#include "install/endpoints.h"
#include "install/package.h"
#include "install/probes.h"
#include "install/publisher.h"
#include "net/download.h"
#include "net/sha256.h"

namespace {

// Windows 10 1607's flag; the build targets Windows 7, whose headers lack it.
constexpr DWORD64 kPreferSystem32Images = 1ULL << 60;
constexpr DWORD kPreferSystem32Build = 14393; // 1607

// Asks only what the choice needs: Windows 7 is never searched for the runtime.
const char* ChoosePackageForThisMachine(bool atLeast61, bool atLeast62) {
    const bool runtimePresent = !IsWindows7(atLeast61, atLeast62) && IsWebView2RuntimePresent();
    return ChoosePackagePath(atLeast61, atLeast62, runtimePresent);
}

// A file scanner may still have the fresh file open for a moment: whatever
// `attempt` does is tried again on a sharing violation, every 500 ms for up
// to 5 s. Its result, with GetLastError as the last attempt left it.
template <typename Attempt> auto RetriedWhileShared(Attempt attempt) {
    for (int retries = 0;; ++retries) {
        auto result = attempt();
        if (result || GetLastError() != ERROR_SHARING_VIOLATION || retries == 10)
            return result;
        Sleep(500);
    }
}

// Opens the downloaded file in the held folder so that, while the handle is
// held, nobody can write, rename or delete it (an open for writing fails,
// too, while anybody else still writes it), and returns it only when it is
// the very file the download created, checked as OpenInFolder checks (no
// link, one name, directly in the folder), and holds exactly the bytes that
// were downloaded.
UniqueFileHandle OpenIfAsDownloaded(const HeldFolder& folder, const std::wstring& name,
                                    const FileId& created, const Sha256Digest& downloaded) {
    BY_HANDLE_FILE_INFORMATION info{};
    UniqueFileHandle file = RetriedWhileShared([&] {
        return OpenInFolder(folder, name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, info);
    });
    FileId opened;
    Sha256Digest now{};
    if (!file || !IdOf(file.get(), opened) || !(opened == created) ||
        !Sha256OfFile(file.get(), now) || now != downloaded)
        return UniqueFileHandle();
    return file;
}

// One start of the setup program: no arguments, our own environment and
// current directory; with the attribute list when there is one. Its command
// line is the program's quoted path alone, so a path with a space in it still
// gives it no arguments.
bool Launch(const std::wstring& program, LPPROC_THREAD_ATTRIBUTE_LIST attributes,
            PROCESS_INFORMATION& process) {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = attributes ? sizeof startup : sizeof startup.StartupInfo;
    startup.lpAttributeList = attributes;
    std::wstring commandLine = L"\"" + program + L"\""; // CreateProcessW may write to it
    return CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                          attributes ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr, nullptr,
                          &startup.StartupInfo, &process) != FALSE;
}

// Starts the setup program; null when Windows cannot start it, with its
// error in GetLastError. Where Windows knows the mitigation (Windows 10 1607
// on), the program loads system DLLs from System32 before any planted beside
// it in the download folder; an older Windows that rejects the attribute,
// with whatever error, starts it as it always did (RetryLaunchWithoutAttributes).
UniqueHandle StartSetup(const std::wstring& program) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    // Windows reads the policy through the list until the list is deleted
    // below: the list's storage and the policy both live in this scope.
    DWORD64 policy = kPreferSystem32Images;
    const bool listed = size > 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &size);
    const bool withPolicy =
        listed && UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_MITIGATION_POLICY,
                                            &policy, sizeof policy, nullptr, nullptr);
    PROCESS_INFORMATION process{};
    bool started = Launch(program, withPolicy ? attributes : nullptr, process);
    DWORD error = GetLastError();
    if (RetryLaunchWithoutAttributes(started, withPolicy, error,
                                     Windows10BuildAtLeast(kPreferSystem32Build))) {
        started = Launch(program, nullptr, process);
        error = GetLastError();
    }
    if (listed)
        DeleteProcThreadAttributeList(attributes);
    if (!started) {
        SetLastError(error);
        return UniqueHandle();
    }
    CloseHandle(process.hThread);
    return UniqueHandle(process.hProcess);
}

// The user whose rights decide where the start folder's path may lead
// (HoldFolderWhereItLeads): the desktop shell's, null without one.
UniqueHandle UserWhoSeesTheInstaller() {
#ifdef VELMOR_TEST_HOOKS
    // Wine 8 has no desktop shell window, Wine 10 has one: a test names our
    // own token in its place, or none.
    if (!TestSetting(L"VELMOR_TEST_NO_DESKTOP_SHELL").empty())
        return UniqueHandle();
    if (!TestSetting(L"VELMOR_TEST_OWN_TOKEN_AS_SHELLS").empty()) {
        UniqueHandle own;
        OpenProcessToken(GetCurrentProcess(), kShellTokenAccess, own.put());
        return own;
    }
#endif
    return ShellToken();
}

} // namespace

void InstallWorker(HWND window) {
    const bool atLeast61 = WindowsVersionAtLeast(6, 1, 0);
    const bool atLeast62 = atLeast61 && WindowsVersionAtLeast(6, 2, 0);
    const std::string url =
        PackageUrl(kDownloadHost, ChoosePackageForThisMachine(atLeast61, atLeast62));
    std::string error;
    Sha256Digest downloaded{};
    FileId created;
    // The Windows 7 package is fetched by Windows 7 itself, whose WinHTTP
    // would offer the host no TLS above 1.0 unless asked.
    const TlsOffer tls =
        IsWindows7(atLeast61, atLeast62) ? TlsOffer::UpToTls12 : TlsOffer::PlatformDefault;
    // The download folder, which unelevated programs can write, is held from
    // before the save file is created until the setup file is deleted: it
    // can be neither renamed away nor replaced by a link meanwhile, and every
    // open of the file in it is checked through its handle. Where the path
    // the user started in leads elsewhere (Downloads moved to another drive),
    // it is held where it leads now, and the download saves into that very hold.
    HeldFolder folder;
    if (!HoldFolderWhereItLeads(L".", UserWhoSeesTheInstaller().get(), folder) ||
        !DownloadFile(url, kSaveFileName, error, MakeProgressCallback(window), &downloaded, tls,
                      &created, &folder)) {
        // The window stays, with its last progress, until the user closes it.
        ShowFailureAndOfferSupport(window, kDownloadFailureText);
        return;
    }
    const std::wstring launchName = WidenBytes(kSaveFileName);

#ifdef VELMOR_TEST_HOOKS
    PauseForTests(L"VELMOR_TEST_PAUSE_BEFORE_CHECK_MS");
    HoldForTests(L"download-closed");
#endif
    // Between closing the download and starting it, the file lies where
    // unelevated programs can write: it runs only if it is still the file
    // that was created and holds what was downloaded, and it is held until
    // Windows has opened it. Windows is given the path of the very file that
    // was hashed, as the handle knows it, and that path must name it.
    UniqueFileHandle held = OpenIfAsDownloaded(folder, launchName, created, downloaded);
    const std::wstring program = held ? FinalPathOf(held.get()) : std::wstring();
    // A release that pins its publisher starts only a program signed with
    // one of its keys, checked through the same handle once it is known to
    // be the file that path names.
    const bool pinned = kPublisherKeys[0] != '\0';
    if (program.empty() || !NamesFile(program, held.get()) ||
        (pinned && !SignedByPinnedPublisher(held.get(), program, kPublisherKeys))) {
        held.reset();
        RemoveInFolder(folder, launchName, created);
        ShowFailureAndOfferSupport(window, kDownloadFailureText);
        return;
    }

    // Hiding the window hands the foreground to another program; the setup
    // program may still take it (and so open in front), as it would have had
    // the installer stayed in front.
    AllowSetForegroundWindow(ASFW_ANY);
    ShowWindow(window, SW_HIDE);
    UniqueHandle setup = RetriedWhileShared([&program] { return StartSetup(program); });
    held.reset();
    if (setup) {
        // No COM apartment on this thread while it waits (the prompt asks
        // the desktop shell from a thread of its own), so a setup program
        // that broadcasts a message never waits on us.
        WaitForSingleObject(setup.get(), INFINITE);
        setup.reset();
        RemoveInFolder(folder, launchName, created);
    } else {
        ShowFailureAndOfferSupport(window, kLaunchFailureText);
    }
    PostMessageW(window, WM_CLOSE, 0, 0);
}
