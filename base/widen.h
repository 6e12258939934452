#pragma once
// The installer's 8-bit names (the save file name, a URL's host and path)
// become UTF-16 one byte to one unit, with no code page: each byte, taken as
// a signed 8-bit value, becomes the unit of the same value, so ASCII maps to
// itself. The downloader that writes the file and the worker that starts it
// must name the same file. Standard C++ only: the URL parser uses it in the
// native fuzz build too.

#include <string>

inline std::wstring WidenBytes(const std::string& bytes) {
    std::wstring wide;
    wide.reserve(bytes.size());
    for (char byte : bytes)
        wide.push_back(static_cast<wchar_t>(static_cast<signed char>(byte)));
    return wide;
}
