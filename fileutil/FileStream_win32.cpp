#include <windows.h>

#include <algorithm>

#include "fileutil/Errors.h"
#include "fileutil/PlainFile_win32.h"
#include "fileutil/Stream.h"

static HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

TFileStream::TFileStream(const std::string& path, unsigned mode) : path_(path) {
    static const DWORD shareModes[] = {0, 0, FILE_SHARE_READ, FILE_SHARE_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE};
    HANDLE h;
    if ((mode & 0xFF00) == fmCreate) {
        // Files are written with administrator rights in folders users may
        // write: a link planted at the name is refused, not followed.
        DWORD share = shareModes[std::min<unsigned>((mode & 0xF0) >> 4, 4)];
        h = OpenPlainFileForWriting(path, GENERIC_READ | GENERIC_WRITE, share, true, true);
    } else if ((mode & 3) != fmOpenRead) {
        static const DWORD access[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
        DWORD share = shareModes[std::min<unsigned>((mode & 0xF0) >> 4, 4)];
        h = OpenPlainFileForWriting(path, access[std::min<unsigned>(mode & 3, 2)], share, false, false);
    } else {
        DWORD share = shareModes[std::min<unsigned>((mode & 0xF0) >> 4, 4)];
        h = CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            DWORD e = GetLastError();
            char full[MAX_PATH] = {};
            if (!GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr)) lstrcpynA(full, path.c_str(), MAX_PATH);
            throw EFOpenError("Cannot open file \"" + std::string(full) + "\". " + SysErrorMessage(e));
        }
    }
    handle_ = reinterpret_cast<intptr_t>(h);
}

TFileStream::~TFileStream() { CloseHandle(H(handle_)); }

int32_t TFileStream::Read(void* buffer, int32_t count) {
    DWORD got = 0;
    if (count <= 0 || !ReadFile(H(handle_), buffer, static_cast<DWORD>(count), &got, nullptr)) return 0;
    return static_cast<int32_t>(got);
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
    DWORD put = 0;
    if (count <= 0) return 0;
    if (!WriteFile(H(handle_), buffer, static_cast<DWORD>(count), &put, nullptr)) {
        DWORD e = GetLastError();
        throw EWriteError("Stream write error - " + SysErrorMessage(e));
    }
    return static_cast<int32_t>(put);
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    LARGE_INTEGER d, out;
    d.QuadPart = offset;
    DWORD how = origin == TSeekOrigin::Begin ? FILE_BEGIN : origin == TSeekOrigin::Current ? FILE_CURRENT : FILE_END;
    if (!SetFilePointerEx(H(handle_), d, &out, how)) return -1;
    return out.QuadPart;
}

void TFileStream::SetSize(int64_t size) {
    int64_t pos = Position();
    SetPosition(size);
    if (!SetEndOfFile(H(handle_))) {
        DWORD e = GetLastError();
        SetPosition(pos);
        throw EWriteError("Stream write error - " + SysErrorMessage(e));
    }
    if (pos < size) SetPosition(pos);
}
