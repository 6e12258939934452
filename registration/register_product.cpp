#include "registration/register_product.h"

#include <windows.h>

#include <sddl.h>
#include <shlobj.h>

#include <vector>

#include "base/same_text.h"
#include "base/shell_token.h"
#include "base/test_hooks.h"
#include "base/unique_handle.h"
#include "registration/software_list_file.h"

namespace {

using UniqueLocalText = UniqueAny<wchar_t*, LocalFree>;

// The token's user as text; empty when it cannot be read.
std::wstring UserSidOf(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    UniqueLocalText text;
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, text.put()))
        return std::wstring();
    return text.get();
}

// The profile folder of the user who sees the installer; empty when unknown.
std::wstring ProfileFolder() {
    UniqueHandle own;
    {
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
            own.reset(token);
    }
    const UniqueHandle shell = ShellToken();
    const bool shells =
        shell && own && RegisterInShellUsersProfile(UserSidOf(own.get()), UserSidOf(shell.get()));
    // Where the shell user's profile cannot be found, the installer's own
    // is used, as where the users are the same.
    wchar_t profile[MAX_PATH];
    if ((shells && SHGetFolderPathW(nullptr, CSIDL_PROFILE, shell.get(), 0, profile) >= 0) ||
        SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, profile) >= 0)
        return profile;
    return std::wstring();
}

} // namespace

bool RegisterInShellUsersProfile(const std::wstring& ownSid, const std::wstring& shellSid) {
    // Local System, Local Service and Network Service have no user's profile.
    for (const wchar_t* service : {L"S-1-5-18", L"S-1-5-19", L"S-1-5-20"}) {
        if (SameIgnoringCase(shellSid, service))
            return false;
    }
    return !ownSid.empty() && !shellSid.empty() && !SameIgnoringCase(ownSid, shellSid);
}

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
    const std::wstring profile = ProfileFolder();
    if (profile.empty())
        return;
    const std::wstring path = profile + L"\\.velmor";
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
    UpdateSoftwareListIn(folder, L"config.toml", WithProductRegistered);
}
