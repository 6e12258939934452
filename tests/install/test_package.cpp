// The package choice, the package URL and the launch name: pure functions.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/widen.h"
#include "install/package.h"

namespace {

struct Choice {
    bool atLeast61, atLeast62, runtime;
    const char* path;
};

TEST(Package, ChoiceFollowsTheThreeProbeAnswers) {
    const Choice table[] = {
        // Windows 7: the runtime answer plays no part.
        {true, false, false, "/velmor-ofd/win7"},
        {true, false, true, "/velmor-ofd/win7"},
        // Windows 8 and later.
        {true, true, true, "/velmor-ofd/release"},
        {true, true, false, "/velmor-ofd/ebwebview"},
        // Older than Windows 7 (6.0) is treated like Windows 8 and later.
        {false, false, true, "/velmor-ofd/release"},
        {false, false, false, "/velmor-ofd/ebwebview"},
    };
    for (const Choice& row : table) {
        SCOPED_TRACE(testing::Message() << row.atLeast61 << row.atLeast62 << row.runtime);
        EXPECT_STREQ(ChoosePackagePath(row.atLeast61, row.atLeast62, row.runtime), row.path);
    }
}

TEST(Package, OnlyA61SystemBelow62IsWindows7) {
    EXPECT_TRUE(IsWindows7(true, false));
    EXPECT_FALSE(IsWindows7(true, true));
    EXPECT_FALSE(IsWindows7(false, false));
}

TEST(Package, UrlIsSchemeHostAndPathOnly) {
    EXPECT_EQ(PackageUrl("download.velmor.com", "/velmor-ofd/release"),
              "https://download.velmor.com/velmor-ofd/release");
    EXPECT_EQ(PackageUrl("127.0.0.1:8443", "/velmor-ofd/win7"),
              "https://127.0.0.1:8443/velmor-ofd/win7");
}

TEST(Package, WideningMapsEachByteToOneUnit) {
    EXPECT_EQ(WidenBytes("velmor-ofd-setup.exe"), L"velmor-ofd-setup.exe");
    // No code page: each byte is one unit of its signed value, as the URL's
    // host and path are, not part of a multi-byte character.
    EXPECT_EQ(WidenBytes("a\xE4\xB8"), std::wstring(L"a") + wchar_t(0xFFE4) + wchar_t(0xFFB8));
    EXPECT_EQ(WidenBytes(""), L"");
}

TEST(Package, LaunchIsTriedAgainWithoutTheListWhereTheSystemMayRejectIt) {
    const struct {
        bool started, withAttributes;
        unsigned long error; // after the failed start
        bool knowsPolicy, retry;
    } table[] = {
        {true, true, 0, true, false},                          // started with the mitigation
        {true, true, 0, false, false},                         // an older system took it
        {true, false, 0, false, false},                        // started without a list
        {false, true, ERROR_INVALID_PARAMETER, false, true},   // before 1607, any failure:
        {false, true, ERROR_NOT_SUPPORTED, false, true},       //   the documented ones,
        {false, true, 0xC000000Dul, false, true},              //   a raw status,
        {false, true, ERROR_ACCESS_DENIED, false, true},       //   or anything else
        {false, true, ERROR_INVALID_PARAMETER, true, true},    // 1607 on: not supported
        {false, true, ERROR_NOT_SUPPORTED, true, true},        //
        {false, true, ERROR_SHARING_VIOLATION, true, false},   //   a scanner keeps the mitigation
        {false, true, ERROR_ACCESS_DENIED, true, false},       //   as does a refusal
        {false, false, ERROR_INVALID_PARAMETER, false, false}, // failed without the list
        {false, false, ERROR_FILE_NOT_FOUND, true, false},     //   is the launch failure
    };
    for (const auto& row : table)
        EXPECT_EQ(RetryLaunchWithoutAttributes(row.started, row.withAttributes, row.error,
                                               row.knowsPolicy),
                  row.retry)
            << row.started << row.withAttributes << ' ' << row.error << ' ' << row.knowsPolicy;
}

} // namespace
