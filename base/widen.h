#pragma once
// The installer's own 8-bit names (the save file name) become UTF-16 one byte
// to one unit, with no code page: the downloader that writes the file and the
// worker that starts it must name the same file.

#include <string>

inline std::wstring WidenBytes(const std::string& bytes) {
    std::wstring wide;
    wide.reserve(bytes.size());
    for (unsigned char byte : bytes)
        wide.push_back(static_cast<wchar_t>(byte));
    return wide;
}
