#pragma once
// The vendor's pin on the setup program's publisher. A release may be built
// with the keys its setup programs are signed with (VELMOR_PUBLISHER_KEYS);
// then only a program whose Authenticode signer holds one of them is started,
// so a download host that was taken over cannot run its own program as
// administrator. Built without keys, nothing is checked.

#include <windows.h>

#include <string>

#include "net/sha256.h"

// Whether `pinned`, the build's list of SHA-256 digests of a certificate's
// DER SubjectPublicKeyInfo (64 hex digits each, any case, separated by ',',
// ';' or white space), names `digest`. Anything in the list that is not such
// a digest matches nothing.
bool PublisherKeyPinned(const char* pinned, const Sha256Digest& digest);

// Whether the file behind `file` (named `path`) carries an intact Authenticode
// signature that Windows trusts, asked without a user interface and without
// a revocation check, whose (primary) signer's certificate is for code
// signing and holds a key that `pinned` names. The file is read through
// `file`, so the check is of the very bytes that will be started.
bool SignedByPinnedPublisher(HANDLE file, const std::wstring& path, const char* pinned);
