#include "net/save_file.h"

#include "base/widen.h"

SaveFile::~SaveFile() {
    if (file)
        RemoveThrough(file.get());
}

bool CreateSaveFile(const std::string& savePath, SaveFile& save) {
    const std::wstring path = WidenBytes(savePath);
    if (!save.folder) {
        if (!HoldFolder(FolderOf(path), save.own))
            return false;
        save.folder = &save.own;
    }
    save.name = NameOf(path);
    FreeNameIn(*save.folder, save.name);
    BY_HANDLE_FILE_INFORMATION info{};
    // A Win32 handle, as the C++ streams cannot say who else may open it.
    save.file = OpenInFolder(*save.folder, save.name, GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                             CREATE_NEW, info);
    if (!save.file)
        return false;
    if (IdOf(save.file.get(), save.id) && DeleteWhenClosed(save.file.get(), true)) {
        if (save.hashing)
            Sha256Begin(save.hash);
        return true;
    }
    RemoveThrough(save.file.get());
    save.file.reset();
    return false;
}

bool StartSaveOver(SaveFile& save) {
    const LARGE_INTEGER start{};
    if (!SetFilePointerEx(save.file.get(), start, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(save.file.get()))
        return false;
    save.written = 0;
    if (save.hashing)
        Sha256Begin(save.hash);
    return true;
}

bool WriteBlock(SaveFile& save, const char* data, DWORD size) {
    DWORD written = 0;
    if (!WriteFile(save.file.get(), data, size, &written, nullptr) || written != size)
        return false;
    if (save.hashing)
        Sha256Add(save.hash, data, size);
    save.written += size;
    return true;
}

bool FinishSaveFile(SaveFile& save, Sha256Digest& digest, std::string& error) {
    if (save.hashing && !Sha256Finish(save.hash, digest)) {
        error = "failed to hash save file";
        return false;
    }
    // Complete: the mark comes off just before the file is closed.
    const bool closed =
        DeleteWhenClosed(save.file.get(), false) && CloseHandle(save.file.release());
    if (!closed) {
        if (!save.file)
            RemoveInFolder(*save.folder, save.name, save.id);
        error = "failed to write save file";
    }
    return closed;
}
