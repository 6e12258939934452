#pragma once
// Records the installer's product in the user's software list,
// %USERPROFILE%\.velmor\config.toml, at start-up.

#include <string>

#include "registration/software_list.h"

// The installer's product as it appears in the list.
inline constexpr char kProductName[] = "velmorOFD\xE8\xBD\xAC\xE6\x8D\xA2\xE5\x99\xA8"; // UTF-8
inline constexpr char kProductId[] = "2";
inline constexpr char kDistributorId[] = "1";

// The list with the first record of this product (product_id exactly "2")
// given distributor_id "1", or with a new record of this product appended.
SoftwareList WithProductRegistered(SoftwareList list);

// Whether the record goes in the profile of the desktop shell's user rather
// than the installer's own, given both users' SIDs as text ("S-1-5-21-...";
// empty when unknown): only when they differ, as when a standard user
// elevates with an administrator's password and the installer runs as that
// administrator. An unknown user, or a shell that runs as a service account,
// keeps the installer's own.
bool RegisterInShellUsersProfile(const std::wstring& ownSid, const std::wstring& shellSid);

// Makes the hidden folder .velmor in the profile folder of the user who
// sees the installer (see RegisterInShellUsersProfile) and rewrites its
// config.toml with this product registered. Every failure is ignored:
// nothing the installer does depends on it.
void RegisterProduct();
