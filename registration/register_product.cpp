#include "registration/register_product.h"

#include <windows.h>

#include <shlobj.h>

#include "base/test_hooks.h"
#include "registration/software_list_file.h"

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
    const std::wstring path = std::wstring(profile) + L"\\.velmor";
    CreateDirectoryW(path.c_str(), nullptr);
    // We run elevated, and unelevated programs can change the profile: a
    // folder that is a link (a junction, say) would take our writes somewhere
    // else. Held, the folder can be neither renamed away nor replaced while
    // we work in it, and every file in it is checked through its handle.
    HeldFolder folder;
    if (!HoldFolder(path, folder))
        return;
    // Replaces every attribute: the folder ends up hidden and nothing else.
    // Zero times leave the folder's times as they are.
    FILE_BASIC_INFO attributes{};
    attributes.FileAttributes = FILE_ATTRIBUTE_HIDDEN;
    SetFileInformationByHandle(folder.handle.get(), FileBasicInfo, &attributes, sizeof attributes);
#ifdef VELMOR_TEST_HOOKS
    HoldForTests(L"folder-held");
#endif
    SoftwareList list;
    if (ReadSoftwareListIn(folder, L"config.toml", list))
        WriteSoftwareListIn(folder, L"config.toml", WithProductRegistered(std::move(list)));
}
