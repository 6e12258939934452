// The system probes against this Wine prefix: the version query, and the
// runtime search in the two real runtime roots, which each case fills with
// folders and files and clears again.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

#include "install/probes.h"

namespace fs = std::filesystem;

namespace {

const fs::path kFirstRoot = L"C:\\Program Files (x86)\\Microsoft\\EdgeWebView\\Application";
const fs::path kSecondRoot = L"C:\\Program Files\\Microsoft\\EdgeWebView\\Application";

void Touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "marker";
}

class RuntimeProbe : public testing::Test {
  protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }

    static void Clear() {
        for (const fs::path& root : {kFirstRoot, kSecondRoot}) {
            std::error_code ignored;
            fs::remove_all(root.parent_path(), ignored); // ...\EdgeWebView
            ASSERT_FALSE(fs::exists(root.parent_path()));
        }
    }
};

// The true version, as the kernel reports it, independent of the probe.
RTL_OSVERSIONINFOEXW KernelVersion() {
    RTL_OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*);
    auto get = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (get)
        get(&version);
    return version;
}

TEST(VersionProbe, ComparesMajorMinorAndServicePackAsOneOrderedVersion) {
    // The build's prefix is set to Windows 7 with service pack 1
    // (cmake/make-wine-prefix), whatever Wine's default.
    const RTL_OSVERSIONINFOEXW version = KernelVersion();
    ASSERT_EQ(version.dwMajorVersion, 6u);
    ASSERT_EQ(version.dwMinorVersion, 1u);
    ASSERT_EQ(version.wServicePackMajor, 1u);

    const struct {
        WORD major, minor, servicePack;
        bool passes;
    } table[] = {
        {6, 1, 0, true},  {6, 1, 1, true},   {6, 1, 2, false}, // the worker's first question
        {6, 2, 0, false},                                      // the worker's second question
        {6, 0, 9, true},  {5, 9, 9, true},   {0, 0, 0, true},  // lower version, any service pack
        {7, 0, 0, false}, {10, 0, 0, false}, {6, 3, 0, false},
    };
    for (const auto& row : table)
        EXPECT_EQ(WindowsVersionAtLeast(row.major, row.minor, row.servicePack), row.passes)
            << row.major << '.' << row.minor << " SP" << row.servicePack;
    // Windows 7 is no Windows 10 of any build: the build alone does not decide.
    EXPECT_FALSE(Windows10BuildAtLeast(0));
}

TEST_F(RuntimeProbe, NeitherRootExists) {
    EXPECT_FALSE(IsWebView2RuntimePresent());
}

TEST_F(RuntimeProbe, EmptyRootsHoldNothing) {
    fs::create_directories(kFirstRoot);
    fs::create_directories(kSecondRoot);
    EXPECT_FALSE(IsWebView2RuntimePresent());
}

TEST_F(RuntimeProbe, MarkersDirectlyInTheRootDoNotCount) {
    Touch(kFirstRoot / L"msedgewebview2.exe");
    Touch(kFirstRoot / L"EmbeddedBrowserWebView.dll");
    Touch(kSecondRoot / L"msedgewebview2.exe");
    EXPECT_FALSE(IsWebView2RuntimePresent());
}

TEST_F(RuntimeProbe, EitherMarkerAloneInAVersionFolderIsEnough) {
    for (const wchar_t* marker : {L"msedgewebview2.exe", L"EmbeddedBrowserWebView.dll"}) {
        SCOPED_TRACE(fs::path(marker).string());
        for (const fs::path& root : {kFirstRoot, kSecondRoot}) {
            Clear();
            Touch(root / L"120.0.2210.91" / marker);
            EXPECT_TRUE(IsWebView2RuntimePresent()) << root.string();
        }
    }
}

TEST_F(RuntimeProbe, AFolderNamedLikeAMarkerCounts) {
    fs::create_directories(kFirstRoot / L"120.0.2210.91" / L"msedgewebview2.exe");
    EXPECT_TRUE(IsWebView2RuntimePresent());
}

TEST_F(RuntimeProbe, AMarkerInADeeperFolderDoesNotCount) {
    Touch(kFirstRoot / L"120.0.2210.91" / L"EBWebView" / L"EmbeddedBrowserWebView.dll");
    Touch(kSecondRoot / L"a" / L"b" / L"msedgewebview2.exe");
    EXPECT_FALSE(IsWebView2RuntimePresent());
}

TEST_F(RuntimeProbe, OtherFilesInAVersionFolderDoNotCount) {
    Touch(kFirstRoot / L"120.0.2210.91" / L"msedge.dll");
    Touch(kFirstRoot / L"120.0.2210.91" / L"msedgewebview2.exe.bak");
    EXPECT_FALSE(IsWebView2RuntimePresent());
}

TEST_F(RuntimeProbe, HiddenAndDotNamedVersionFoldersCount) {
    const fs::path hidden = kFirstRoot / L"hidden";
    Touch(hidden / L"msedgewebview2.exe");
    ASSERT_TRUE(SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(IsWebView2RuntimePresent());

    Clear();
    Touch(kSecondRoot / L".staging" / L"EmbeddedBrowserWebView.dll");
    EXPECT_TRUE(IsWebView2RuntimePresent());
}

TEST_F(RuntimeProbe, FoundUnderTheSecondRootAfterAFruitlessFirst) {
    // The first root is listed to its end: folders, files, no marker.
    for (int i = 0; i < 20; ++i)
        Touch(kFirstRoot / (L"1." + std::to_wstring(i)) / L"readme.txt");
    Touch(kFirstRoot / L"msedgewebview2.exe");
    Touch(kSecondRoot / L"121.0.0.1" / L"EmbeddedBrowserWebView.dll");
    EXPECT_TRUE(IsWebView2RuntimePresent());
}

TEST_F(RuntimeProbe, OneRuntimeAmongManyVersionFoldersIsEnough) {
    for (int i = 0; i < 20; ++i)
        fs::create_directories(kFirstRoot / (L"1." + std::to_wstring(i)));
    Touch(kFirstRoot / L"1.13" / L"msedgewebview2.exe");
    EXPECT_TRUE(IsWebView2RuntimePresent());
}

TEST_F(RuntimeProbe, ARuntimeOutsideTheTwoRootsIsNotFound) {
    // Per-user installs and other drives are not looked at.
    Touch(fs::path(L"C:\\users\\Public\\EdgeWebView\\Application\\1.0\\msedgewebview2.exe"));
    Touch(fs::path(L"C:\\Program Files\\Microsoft\\EdgeWebView\\1.0\\msedgewebview2.exe"));
    EXPECT_FALSE(IsWebView2RuntimePresent());
    fs::remove_all(L"C:\\users\\Public\\EdgeWebView");
}

} // namespace
