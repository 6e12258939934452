// The software list file under the Windows C runtime: what the reader makes
// of given bytes, the exact bytes the writer leaves, and that a failed write
// leaves the old list alone. The scratch folder has a Chinese name, so every
// case also runs on a path outside ASCII.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "registration/software_list.h"
#include "tests/registration/scratch.h"

namespace {

// "velmorOFD转换器" as UTF-8 bytes, independent of the source encoding.
const std::string kName = "velmorOFD\xE8\xBD\xAC\xE6\x8D\xA2\xE5\x99\xA8";

std::string Describe(const SoftwareList& list) {
    std::string text;
    for (const SoftwareEntry& e : list)
        text += "{" + e.name + "|" + e.product_id + "|" + e.distributor_id + "}";
    return text;
}

class SoftwareListFile : public ::testing::Test {
  protected:
    void SetUp() override { folder_ = MakeScratchFolder(); }
    void TearDown() override { RemoveFolder(folder_); }
    std::wstring Path(const wchar_t* name = L"config.toml") const { return folder_ + L"\\" + name; }
    std::wstring folder_;
};

TEST_F(SoftwareListFile, ReadsRecordsFromBytes) {
    struct Case {
        const char* what;
        std::string bytes;
        SoftwareList records;
    } cases[] = {
        {"empty file", "", {}},
        {"no key line", "# list\r\n\r\n[tool]\r\nversion = 3\r\n", {}},
        {"written form, CR LF",
         "[[software]]\r\nname = \"a b\"\r\nproduct_id = \"5\"\r\ndistributor_id = \"6\"\r\n"
         "[[software]]\r\nname = \"" +
             kName + "\"\r\nproduct_id = \"2\"\r\ndistributor_id = \"1\"\r\n",
         {{"a b", "5", "6"}, {kName, "2", "1"}}},
        {"written form, LF",
         "[[software]]\nname = \"a b\"\nproduct_id = \"5\"\ndistributor_id = \"6\"\n"
         "[[software]]\nname = \"c\"\nproduct_id = \"7\"\ndistributor_id = \"\"",
         {{"a b", "5", "6"}, {"c", "7", ""}}},
        {"blank lines anywhere",
         "\r\n\r\n[[software]]\r\n\r\nname = \"a\"\r\n\r\nproduct_id = \"5\"\r\n\n\r\n"
         "distributor_id = \"6\"\r\n\r\n",
         {{"a", "5", "6"}}},
        {"record without product_id dropped",
         "[[software]]\nname = \"a\"\ndistributor_id = \"1\"\n[[software]]\nname = \"b\"\n"
         "product_id = \"3\"\n",
         {{"b", "3", ""}}},
        {"empty product_id dropped", "[[software]]\nname = \"a\"\nproduct_id = \"\"\n", {}},
        {"key lines before the first header",
         "name = \"a\"\nproduct_id = \"4\"\ndistributor_id = \"9\"\n[[software]]\nname = \"b\"\n"
         "product_id = \"5\"\n",
         {{"a", "4", "9"}, {"b", "5", ""}}},
        {"key twice keeps the last",
         "[[software]]\nproduct_id = \"1\"\nname = \"x\"\nproduct_id = \"8\"\n",
         {{"x", "8", ""}}},
        {"spaces after the opening quote lost, text after the closing quote kept",
         "[[software]]\nname = \" \t x y\"\nproduct_id = \"2\" \ndistributor_id = \"1\" # c\n",
         {{"x y", "2 ", "1 # c"}}},
        {"value with =", "[[software]]\nname = \"a=b\"\nproduct_id = \"1\"\n", {{"a=b", "1", ""}}},
        {"quote in the middle lost",
         "[[software]]\nname = \"a\"b\"\nproduct_id = \"1\"\n",
         {{"ab", "1", ""}}},
        {"value without quotes", "[[software]]\nname =b\\c\nproduct_id=  1\n", {{"b\\c", "1", ""}}},
        {"product_name sets name", "product_name = x\nproduct_id = \"1\"\n", {{"x", "1", ""}}},
        {"distributor_id with name in its value sets name",
         "[[software]]\nproduct_id = \"3\"\ndistributor_id = \"5\"\ndistributor_id = rename\n",
         {{"rename", "3", "5"}}},
        {"key line without = changes nothing",
         "[[software]]\nproduct_id = \"3\"\n# product_id was 4\n",
         {{"", "3", ""}}},
        {"header line holding a key reads only as header",
         "product_id = \"1\"\n[[software]] product_id = \"9\"\nname = \"a\"\n",
         {{"", "1", ""}}},
        {"other table does not end the record",
         "[[software]]\nproduct_id = \"1\"\n[other]\nproduct_id = \"4\"\n",
         {{"", "4", ""}}},
        {"UTF-8 byte order mark before the header",
         "\xEF\xBB\xBF[[software]]\r\nname = \"a\"\r\nproduct_id = \"1\"\r\n[[software]]\r\n"
         "product_id = \"2\"\r\n",
         {{"a", "1", ""}, {"", "2", ""}}},
        {"0x1A ends the input",
         "[[software]]\r\nproduct_id = \"1\"\r\n\x1A[[software]]\r\nproduct_id = \"2\"\r\n",
         {{"", "1", ""}}},
        {"0x1A inside a value",
         "product_id = \"12\x1A"
         "34\"\r\nname = \"a\"\r\n",
         {{"", "12", ""}}},
        {"lone CR stays",
         "[[software]]\r\nname = \"a\rb\"\r\nproduct_id = \"1\"\r\r\n",
         {{"a\rb", "1\r", ""}}},
    };
    for (const Case& c : cases) {
        WriteBytes(Path(), c.bytes);
        EXPECT_EQ(Describe(ReadSoftwareList(Path())), Describe(c.records)) << c.what;
    }
}

TEST_F(SoftwareListFile, MissingFileReadsEmpty) {
    EXPECT_TRUE(ReadSoftwareList(Path(L"none.toml")).empty());
    EXPECT_TRUE(ReadSoftwareList(folder_ + L"\\none\\config.toml").empty());
}

TEST_F(SoftwareListFile, WritesExactBytes) {
    struct Case {
        const char* what;
        SoftwareList records;
        std::string bytes;
    } cases[] = {
        {"the product's record, 83 bytes",
         {{kName, "2", "1"}},
         "[[software]]\r\nname = \"" + kName +
             "\"\r\nproduct_id = \"2\"\r\ndistributor_id = \"1\"\r\n"},
        {"empty list", {}, ""},
        {"empty product_id written, order kept",
         {{"b", "", ""}, {"a", "9", "x"}},
         "[[software]]\r\nname = \"b\"\r\nproduct_id = \"\"\r\ndistributor_id = \"\"\r\n"
         "[[software]]\r\nname = \"a\"\r\nproduct_id = \"9\"\r\ndistributor_id = \"x\"\r\n"},
        {"values unescaped, LF stored as CR LF",
         {{"q\"\\ \t", "1\n2", "3\r"}},
         "[[software]]\r\nname = \"q\"\\ \t\"\r\nproduct_id = \"1\r\n2\"\r\n"
         "distributor_id = \"3\r\"\r\n"},
    };
    for (const Case& c : cases) {
        WriteBytes(Path(), "old content that is longer than some of the new lists\r\n");
        WriteSoftwareList(Path(), c.records);
        EXPECT_EQ(ReadBytes(Path()), c.bytes) << c.what;
        EXPECT_EQ(FolderEntries(folder_), std::set<std::wstring>{L"config.toml"}) << c.what;
    }
    WriteSoftwareList(Path(), {{kName, "2", "1"}});
    EXPECT_EQ(ReadBytes(Path()).size(), 83u);
}

TEST_F(SoftwareListFile, WrittenListReadsBack) {
    const SoftwareList list = {{kName, "2", "1"}, {"", "x\\y", ""}, {"a # b", "3", "4 "}};
    WriteSoftwareList(Path(), list);
    EXPECT_EQ(Describe(ReadSoftwareList(Path())), Describe(list));
}

TEST_F(SoftwareListFile, MissingFolderCreatesNothing) {
    WriteSoftwareList(folder_ + L"\\missing\\config.toml", {{kName, "2", "1"}});
    EXPECT_TRUE(FolderEntries(folder_).empty());
}

// The new content replaces the file only as a whole: when the replacement
// fails, the old bytes stay and no temporary file is left beside them. A
// list the C runtime could not open for writing keeps its content too.
TEST_F(SoftwareListFile, FailedReplaceKeepsOldContentAndLeavesNoTemporaryFile) {
    const std::string old = "[[software]]\r\nname = \"keep\"\r\nproduct_id = \"5\"\r\n";
    for (DWORD attribute :
         {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM}) {
        WriteBytes(Path(), old);
        SetFileAttributesW(Path().c_str(), attribute);
        WriteSoftwareList(Path(), {{kName, "2", "1"}});
        EXPECT_TRUE(GetFileAttributesW(Path().c_str()) & attribute) << "attribute kept";
        SetFileAttributesW(Path().c_str(), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(ReadBytes(Path()), old) << "attribute " << attribute;
        EXPECT_EQ(FolderEntries(folder_), std::set<std::wstring>{L"config.toml"});
    }

    ASSERT_TRUE(CreateDirectoryW(Path(L"taken.toml").c_str(), nullptr));
    WriteSoftwareList(Path(L"taken.toml"), {{kName, "2", "1"}});
    EXPECT_EQ(GetFileAttributesW(Path(L"taken.toml").c_str()), DWORD{FILE_ATTRIBUTE_DIRECTORY});
    EXPECT_EQ(FolderEntries(folder_), (std::set<std::wstring>{L"config.toml", L"taken.toml"}))
        << "a folder in the file's place";
}

// A reader that holds the list open (as fopen(path, "r") does: no delete
// sharing) keeps it from being replaced; it is written in place instead. A
// temporary file left by a killed run is reused and removed.
TEST_F(SoftwareListFile, ListHeldOpenOrLeftoverTemporaryFileStillGetsTheRecord) {
    const std::string written = "[[software]]\r\nname = \"" + kName +
                                "\"\r\nproduct_id = \"2\"\r\ndistributor_id = \"1\"\r\n";
    const std::string five =
        "[[software]]\r\nname = \"a\"\r\nproduct_id = \"5\"\r\ndistributor_id = \"\"\r\n";
    // (the old bytes, the new list; the new bytes begin with the old or not)
    const std::pair<std::string, SoftwareList> rows[] = {
        {"[[software]]\r\nproduct_id = \"5\"\r\n", {{kName, "2", "1"}}},
        {five, {{"a", "5", ""}, {kName, "2", "1"}}},
    };
    for (const auto& [old, list] : rows) {
        WriteBytes(Path(), old);
        {
            UniqueFile reader(_wfopen(Path().c_str(), L"r"));
            ASSERT_TRUE(reader);
            WriteSoftwareList(Path(), list);
        }
        EXPECT_EQ(ReadBytes(Path()), (list.size() == 2 ? five : "") + written) << "held open";
    }

    WriteBytes(Path(L"config.toml.tmp"), "what a killed run left");
    WriteSoftwareList(Path(), {});
    EXPECT_EQ(ReadBytes(Path()), "") << "leftover temporary file";
    EXPECT_EQ(FolderEntries(folder_), std::set<std::wstring>{L"config.toml"});
}

} // namespace
