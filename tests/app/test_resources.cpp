// The resources bound into the shipped installer, read from the program file
// itself: the picture's format, the single icon image, the manifest's one
// request and the version information.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

HMODULE Installer() {
    static HMODULE module = LoadLibraryExW(
        VELMOR_INSTALLER_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    return module;
}

std::string Resource(LPCWSTR type, WORD id) {
    HRSRC found = FindResourceW(Installer(), MAKEINTRESOURCEW(id), type);
    if (!found)
        return {};
    const char* data = static_cast<const char*>(LockResource(LoadResource(Installer(), found)));
    return std::string(data, SizeofResource(Installer(), found));
}

TEST(Resources, BackgroundIsAnUncompressedBottomUp24BitPictureOfTheWindowSize) {
    ASSERT_NE(Installer(), nullptr);
    const std::string bitmap = Resource(RT_BITMAP, 102);
    ASSERT_GE(bitmap.size(), sizeof(BITMAPINFOHEADER));
    const auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(bitmap.data());
    EXPECT_EQ(header->biSize, 40u);
    EXPECT_EQ(header->biWidth, 560);
    EXPECT_EQ(header->biHeight, 310) << "positive: bottom-up rows";
    EXPECT_EQ(header->biBitCount, 24);
    EXPECT_EQ(header->biCompression, static_cast<DWORD>(BI_RGB));
    EXPECT_EQ(bitmap.size(), 40u + 560u * 3u * 310u);
}

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(Resources, IconHasOne128Pixel32BitImage) {
    const std::string group = Resource(RT_GROUP_ICON, 101);
    ASSERT_GE(group.size(), 6u + sizeof(IconGroupEntry));
    const auto* words = reinterpret_cast<const WORD*>(group.data());
    EXPECT_EQ(words[2], 1) << "one image";
    const auto* entry = reinterpret_cast<const IconGroupEntry*>(group.data() + 6);
    EXPECT_EQ(entry->width, 128);
    EXPECT_EQ(entry->height, 128);
    EXPECT_EQ(entry->bitCount, 32);
    const std::string image = Resource(RT_ICON, entry->id);
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
    const auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(image.data());
    EXPECT_EQ(header->biWidth, 128);
    EXPECT_EQ(header->biBitCount, 32);
}

TEST(Resources, ManifestAsksForAdministratorRightsAndNothingElse) {
    const std::string manifest = Resource(RT_MANIFEST, 1);
    for (const char* wanted :
         {"manifestVersion=\"1.0\"", "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">",
          "<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"})
        EXPECT_NE(manifest.find(wanted), std::string::npos) << wanted;
    // Classic controls (the bar's colours), no DPI awareness, no OS list.
    for (const char* unwanted : {"dependency", "Common-Controls", "dpiAware", "compatibility"})
        EXPECT_EQ(manifest.find(unwanted), std::string::npos) << unwanted;
}

TEST(Resources, VersionIs111InOneChineseStringTable) {
    const std::wstring path = VELMOR_INSTALLER_PATH;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010001u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010001u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00010000u);

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u) << "one translation";
    EXPECT_EQ(translation[0], 0x0804);
    EXPECT_EQ(translation[1], 0x04B0);

    auto text = [&](const wchar_t* name) {
        wchar_t* value = nullptr;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\080404B0\\") + name;
        if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            return std::wstring(L"<missing>");
        return std::wstring(value);
    };
    EXPECT_EQ(text(L"FileVersion"), L"1.1.1");
    EXPECT_EQ(text(L"ProductVersion"), L"1.1.1");
    EXPECT_EQ(text(L"ProductName"), L"velmorOFD转换器");
    EXPECT_EQ(text(L"OriginalFilename"), L"velmor-installer.exe");
    EXPECT_NE(text(L"CompanyName"), L"<missing>");
    EXPECT_NE(text(L"FileDescription"), L"<missing>");
}

} // namespace
