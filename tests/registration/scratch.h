#pragma once
// File helpers for the registration tests: raw bytes in and out, folder
// listings, and a scratch folder with a Chinese name under the temp folder.

#include <windows.h>

#include <cstdio>
#include <set>
#include <string>

#include "base/unique_handle.h"

inline void WriteBytes(const std::wstring& path, const std::string& bytes) {
    UniqueFile file(_wfopen(path.c_str(), L"wb"));
    if (file)
        std::fwrite(bytes.data(), 1, bytes.size(), file.get());
}

// The file's bytes, or "<missing>" when it cannot be opened.
inline std::string ReadBytes(const std::wstring& path) {
    UniqueFile file(_wfopen(path.c_str(), L"rb"));
    if (!file)
        return "<missing>";
    std::string bytes;
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        bytes.append(buffer, count);
    return bytes;
}

// Names in a folder, without "." and "..".
inline std::set<std::wstring> FolderEntries(const std::wstring& folder) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW data;
    UniqueFind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find)
        return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            names.insert(name);
    } while (FindNextFileW(find.get(), &data));
    return names;
}

// Removes a folder and everything in it, whatever their attributes.
inline void RemoveFolder(const std::wstring& folder) {
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    for (const std::wstring& name : FolderEntries(folder)) {
        const std::wstring path = folder + L"\\" + name;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(path.c_str()))
            RemoveFolder(path);
    }
    RemoveDirectoryW(folder.c_str());
}

// A fresh folder "velmor-软件列表-<pid>" in the temp folder.
inline std::wstring MakeScratchFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder =
        std::wstring(temp) + L"velmor-软件列表-" + std::to_wstring(GetCurrentProcessId());
    RemoveFolder(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}
