#pragma once
// Which installation package fits, and where it is fetched from. Pure logic:
// the probes' answers come in, a path or a URL goes out.

#include <string>

inline constexpr char kWin7PackagePath[] = "/velmor-ofd/win7";
inline constexpr char kStandardPackagePath[] = "/velmor-ofd/release";
inline constexpr char kNoRuntimePackagePath[] = "/velmor-ofd/ebwebview";

// A system that reports 6.1 (at least 6.1, below 6.2) is Windows 7, whatever
// its service pack. Only for other systems is the runtime looked for.
bool IsWindows7(bool atLeast61, bool atLeast62);

// The package path for the three probe answers. On Windows 7 the runtime
// answer is not used (and the worker does not ask for it).
const char* ChoosePackagePath(bool atLeast61, bool atLeast62, bool runtimePresent);

// "https://" + host + path: nothing else, so a host without a port means 443.
std::string PackageUrl(const std::string& host, const std::string& path);

// After a start of the setup program failed with `error`: whether to try once
// more without the attribute list (the prefer-System32 mitigation). Windows
// before 10 1607, which does not know the policy, may reject the attribute
// with any error, not only the documented ones, so there any failure with the
// list is tried again without it. Where Windows knows the policy, only the
// errors that say the attribute is not supported are: any other failure (a
// scanner's sharing violation, say) must not cost the program the
// mitigation. A failure without the list is final.
bool RetryLaunchWithoutAttributes(bool started, bool withAttributes, unsigned long error,
                                  bool systemKnowsPolicy);
