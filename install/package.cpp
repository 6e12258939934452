#include "install/package.h"

bool IsWindows7(bool atLeast61, bool atLeast62) {
    return atLeast61 && !atLeast62;
}

const char* ChoosePackagePath(bool atLeast61, bool atLeast62, bool runtimePresent) {
    if (IsWindows7(atLeast61, atLeast62))
        return kWin7PackagePath;
    return runtimePresent ? kStandardPackagePath : kNoRuntimePackagePath;
}

std::string PackageUrl(const std::string& host, const std::string& path) {
    return "https://" + host + path;
}

std::wstring LaunchPathFor(const std::wstring& savedPath) {
    static const std::wstring suffix = L".exe";
    const bool hasSuffix =
        savedPath.size() >= suffix.size() &&
        savedPath.compare(savedPath.size() - suffix.size(), suffix.size(), suffix) == 0;
    return hasSuffix ? savedPath : savedPath + suffix;
}
