#include <windows.h>

#include "fileutil/FileHelpers.h"

#include "fileutil/Errors.h"
#include "fileutil/Handles_win32.h"
#include "fileutil/PathText.h"

int64_t TEasyFile::FileSize(const std::string& path) {
    DWORD attr = GetFileAttributesA(path.c_str());
    if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY)) return -1;
    WIN32_FIND_DATAA fd;
    TFindHandle find(FindFirstFileA(path.c_str(), &fd));
    if (!find) return 0;
    return (static_cast<int64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
}

static std::string FolderOf(const std::string& path) {
    size_t slash = LastSeparator(path, "\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

bool TFileCopy::CopyFile(const std::string& source, const std::string& target) {
    if (source == target) return false;
    TFileHandle src(CreateFileA(source.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!src) return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(src.get(), &size)) return false;

    // An existing target must be replaceable: not read-only and not held open
    // (the same file spelled in another case is held by src without sharing).
    DWORD targetAttr = GetFileAttributesA(target.c_str());
    if (targetAttr != INVALID_FILE_ATTRIBUTES) {
        // Checked by hand too: as root under Wine the open below would succeed.
        if (targetAttr & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return false;
        TFileHandle probe(CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!probe) return false;
    }
    char temp[MAX_PATH];
    if (!GetTempFileNameA(FolderOf(target).c_str(), "cpy", 0, temp)) return false;
    TFileHandle dst(CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!dst) {
        DeleteFileA(temp);
        return false;
    }

    char buffer[2048];
    LONGLONG remaining = size.QuadPart;
    while (remaining > 0) {
        DWORD want = remaining < static_cast<LONGLONG>(sizeof buffer) ? static_cast<DWORD>(remaining) : sizeof buffer;
        DWORD got = 0;
        // A source that shrank under us gives a short read: treat it as a
        // failure rather than loop forever or install a short copy.
        if (!ReadFile(src.get(), buffer, want, &got, nullptr) || got == 0) {
            DWORD e = GetLastError();
            dst.reset();
            DeleteFileA(temp);
            throw EReadError("Stream read error" + (got == 0 && e == ERROR_SUCCESS ? std::string() : " - " + SysErrorMessage(e)));
        }
        DWORD put = 0;
        if (!WriteFile(dst.get(), buffer, got, &put, nullptr) || put != got) {
            dst.reset();
            DeleteFileA(temp);
            return false;
        }
        remaining -= got;
    }
    FILETIME written;
    if (GetFileTime(src.get(), nullptr, nullptr, &written)) SetFileTime(dst.get(), nullptr, nullptr, &written);
    dst.reset();
    if (!MoveFileExA(temp, target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileA(temp);
        return false;
    }
    DWORD attr = GetFileAttributesA(source.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES) {
        attr &= FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
        SetFileAttributesA(target.c_str(), attr ? attr : FILE_ATTRIBUTE_NORMAL);
    }
    return true;
}
