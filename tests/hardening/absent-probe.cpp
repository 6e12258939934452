// absent-probe [byname]
// Calls a function of velmorabsent.dll, which System32 lacks, through the
// installer's delay-load hook; a file of that name lies beside this program.
// The DLL search is left as the installer leaves it on a Windows 7 without
// SetDefaultDllDirectories, where a load by name still searches the program's
// folder. The hook must fail the load (exit code 3) rather than fall back to
// such a load. With "byname" it loads the DLL by name instead: the control.

#include <windows.h>

#include <delayimp.h>

extern "C" BOOL WINAPI VelmorAbsentFunction();

namespace {

LONG CALLBACK EndOnFailedDelayLoad(EXCEPTION_POINTERS* exception) {
    if (exception->ExceptionRecord->ExceptionCode ==
        VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND))
        ExitProcess(3);
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

int wmain(int argc, wchar_t**) {
    if (argc > 1)
        return LoadLibraryW(L"velmorabsent.dll") ? 0 : 1;
    SetDllDirectoryW(L"");
    AddVectoredExceptionHandler(1, EndOnFailedDelayLoad);
    VelmorAbsentFunction();
    return 0;
}
