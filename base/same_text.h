#pragma once
// Text that Windows compares without regard to case: paths, SIDs.

#include <windows.h>

#include <string>

// Whether a and b are the same text, letter case aside, compared code unit by
// code unit as the file system compares names, whatever the user's locale.
inline bool SameIgnoringCase(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}
