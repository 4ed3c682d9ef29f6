#include <windows.h>

#include "fileutil/Errors.h"
#include "fileutil/Handles_win32.h"
#include "web/ChecksumFile_win32.h"
#include "web/Crc32.h"

TFileHandle OpenForChecksum(const std::string& path, DWORD flags) {
    // Read access, readers may share, writers are refused while we read.
    TFileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | flags, nullptr));
    if (!file) {
        DWORD e = GetLastError();
        char full[MAX_PATH] = {};
        if (!GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr)) lstrcpynA(full, path.c_str(), MAX_PATH);
        throw EFOpenError("Cannot open file \"" + std::string(full) + "\". " + SysErrorMessage(e));
    }
    return file;
}

int32_t FileCrc32(const std::string& path) {
    TFileHandle file = OpenForChecksum(path);
    uint32_t crc = 0xFFFFFFFFu;
    char block[2048];
    DWORD got = 0;
    do {
        if (!ReadFile(file.get(), block, sizeof block, &got, nullptr)) got = 0;
        crc = UpdateCrc32(crc, block, got);
    } while (got == sizeof block);
    return static_cast<int32_t>(crc ^ 0xFFFFFFFFu);
}
