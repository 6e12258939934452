#include "registration/register_product.h"

#include <windows.h>

#include <shlobj.h>

SoftwareList WithProductRegistered(SoftwareList list) {
    for (SoftwareEntry& entry : list) {
        if (entry.product_id == kProductId) {
            entry.distributor_id = kDistributorId;
            return list;
        }
    }
    list.push_back({kProductName, kProductId, kDistributorId});
    return list;
}

void RegisterProduct() {
    wchar_t profile[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, profile) < 0)
        return;
    const std::wstring folder = std::wstring(profile) + L"\\.velmor";
    CreateDirectoryW(folder.c_str(), nullptr);
    // Replaces every attribute: the folder ends up hidden and nothing else.
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_HIDDEN);
    const std::wstring file = folder + L"\\config.toml";
    WriteSoftwareList(file, WithProductRegistered(ReadSoftwareList(file)));
}
