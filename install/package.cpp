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

bool RetryLaunchWithoutAttributes(bool started, bool withAttributes, unsigned long error,
                                  bool systemKnowsPolicy) {
    constexpr unsigned long kInvalidParameter = 87; // ERROR_INVALID_PARAMETER
    constexpr unsigned long kNotSupported = 50;     // ERROR_NOT_SUPPORTED
    if (started || !withAttributes)
        return false;
    return !systemKnowsPolicy || error == kInvalidParameter || error == kNotSupported;
}
