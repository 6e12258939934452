#include "registration/register_product.h"

#include <windows.h>

#include <shlobj.h>

#include "registration/file_links.h"

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
    // We run elevated, and unelevated programs can change the profile: a
    // folder that is a link (a junction, say) would take our writes somewhere
    // else. Held without delete sharing, the folder can be neither renamed
    // away nor replaced while we work in it.
    BY_HANDLE_FILE_INFORMATION info{};
    const UniqueFileHandle held = OpenNameItself(folder, FILE_SHARE_READ | FILE_SHARE_WRITE, info);
    if (!held || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    // Replaces every attribute: the folder ends up hidden and nothing else.
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_HIDDEN);
    const std::wstring file = folder + L"\\config.toml";
    if (IsListFileUntouchable(file))
        return;
    WriteSoftwareList(file, WithProductRegistered(ReadSoftwareList(file)));
}
