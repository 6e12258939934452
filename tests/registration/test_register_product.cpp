// RegisterProduct in the real profile folder of the Wine prefix, as
// SHGetFolderPathW names it. Each test starts and ends without .velmor.

#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include <string>

#include "registration/register_product.h"
#include "tests/registration/scratch.h"

namespace {

// The product's record in the written form, spelled out byte by byte.
const std::string kRecord =
    "[[software]]\r\nname = \"velmorOFD\xE8\xBD\xAC\xE6\x8D\xA2\xE5\x99\xA8\"\r\n"
    "product_id = \"2\"\r\ndistributor_id = \"1\"\r\n";

std::string Record(const std::string& name, const std::string& product,
                   const std::string& distributor) {
    return "[[software]]\r\nname = \"" + name + "\"\r\nproduct_id = \"" + product +
           "\"\r\ndistributor_id = \"" + distributor + "\"\r\n";
}

class RegisterProductTest : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t profile[MAX_PATH];
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, profile), S_OK);
        folder_ = std::wstring(profile) + L"\\.velmor";
        file_ = folder_ + L"\\config.toml";
        RemoveFolder(folder_);
        ASSERT_EQ(GetFileAttributesW(folder_.c_str()), INVALID_FILE_ATTRIBUTES);
    }
    void TearDown() override { RemoveFolder(folder_); }
    std::wstring folder_;
    std::wstring file_;
};

TEST_F(RegisterProductTest, WithoutFolderCreatesHiddenFolderAndTheRecordAlone) {
    RegisterProduct();
    EXPECT_EQ(GetFileAttributesW(folder_.c_str()),
              DWORD{FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN});
    EXPECT_EQ(ReadBytes(file_), kRecord);
    EXPECT_EQ(kRecord.size(), 83u);
    EXPECT_EQ(FolderEntries(folder_), std::set<std::wstring>{L"config.toml"});
}

TEST_F(RegisterProductTest, RewritesTheListWithTheProductRegistered) {
    struct Case {
        const char* what;
        std::string before;
        std::string after;
    } cases[] = {
        {"other products kept in order, ours appended",
         Record("b", "7", "3") + Record("a", "5", ""),
         Record("b", "7", "3") + Record("a", "5", "") + kRecord},
        {"first record of the product gets distributor 1 and keeps its name",
         Record("a", "5", "") + Record("old name", "2", "7") + Record("again", "2", "8"),
         Record("a", "5", "") + Record("old name", "2", "1") + Record("again", "2", "8")},
        {"product id with text after the closing quote does not match",
         "[[software]]\r\nname = \"x\"\r\nproduct_id = \"2\" # ours\r\ndistributor_id = \"1\"\r\n",
         Record("x", "2 # ours", "1") + kRecord},
        {"product id 02 does not match", Record("x", "02", "1"), Record("x", "02", "1") + kRecord},
        {"LF, comments and blank lines become the written form",
         "# installed software\n\n[[software]]\nname = 'q'  # ours\n\nproduct_id = \"2\"\n"
         "distributor_id = \"1\"\n\n[[software]]\nname = \"dropped\"\n",
         Record("'q'  # ours", "2", "1")},
        {"what follows 0x1A is lost", "\x1A[[software]]\r\nproduct_id = \"5\"\r\n", kRecord},
    };
    for (const Case& c : cases) {
        CreateDirectoryW(folder_.c_str(), nullptr);
        WriteBytes(file_, c.before);
        RegisterProduct();
        EXPECT_EQ(ReadBytes(file_), c.after) << c.what;
        EXPECT_EQ(FolderEntries(folder_), std::set<std::wstring>{L"config.toml"}) << c.what;
        RemoveFolder(folder_);
    }
}

TEST_F(RegisterProductTest, ReadOnlyOrSystemFolderEndsOnlyHidden) {
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    WriteBytes(file_, Record("a", "5", ""));
    ASSERT_TRUE(
        SetFileAttributesW(folder_.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
    // Wine keeps no read-only flag on folders, so only the system flag can be
    // seen to go; the test means nothing unless that one stuck.
    ASSERT_TRUE(GetFileAttributesW(folder_.c_str()) & FILE_ATTRIBUTE_SYSTEM);
    RegisterProduct();
    EXPECT_EQ(GetFileAttributesW(folder_.c_str()),
              DWORD{FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN});
    EXPECT_EQ(ReadBytes(file_), Record("a", "5", "") + kRecord);
}

// The profile goes to the desktop shell's user only where that is another
// account, a real user's; every doubt keeps the installer's own.
TEST(RegisterInShellUsersProfile, OnlyForAnotherRealUser) {
    const std::wstring admin = L"S-1-5-21-1004336348-1177238915-682003330-500";
    const std::wstring user = L"S-1-5-21-1004336348-1177238915-682003330-1001";
    const std::wstring domainUser = L"S-1-5-21-2127521184-1604012920-1887927527-72713";
    struct Case {
        std::wstring own, shell;
        bool shells;
    } cases[] = {
        {user, user, false},       // the same user: as ever
        {admin, user, true},       // a standard user elevated as an administrator
        {admin, domainUser, true}, // a domain user elevated as a local one
        {user, L"s-1-5-21-1004336348-1177238915-682003330-1001", false}, // case is no difference
        {admin, L"", false},         // no shell, or its token stays closed
        {L"", user, false},          // our own user unknown
        {admin, L"S-1-5-18", false}, // a shell as Local System
        {admin, L"S-1-5-19", false}, // as Local Service
        {admin, L"S-1-5-20", false}, // as Network Service
        {L"S-1-5-18", user, true},   // Local System, started by hand in the user's desktop
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RegisterInShellUsersProfile(c.own, c.shell), c.shells)
            << std::string(c.own.begin(), c.own.end()) << " / "
            << std::string(c.shell.begin(), c.shell.end());
    }
}

} // namespace
