#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "fileutil/Errors.h"
#include "fileutil/Stream.h"

// Sharing modes have no POSIX counterpart; the native build is for tools and
// tests, where nothing else holds the files.
TFileStream::TFileStream(const std::string& path, unsigned mode) : path_(path) {
    int fd;
    if ((mode & 0xFF00) == fmCreate) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) throw EFOpenError("Cannot create file \"" + path + "\". " + SysErrorMessage(errno));
    } else {
        static const int flags[] = {O_RDONLY, O_WRONLY, O_RDWR};
        fd = ::open(path.c_str(), flags[(mode & 3) > 2 ? 2 : (mode & 3)] | O_CLOEXEC);
        if (fd < 0) {
            int e = errno;
            char full[PATH_MAX];
            std::string shown = realpath(path.c_str(), full) ? std::string(full) : path;
            throw EFOpenError("Cannot open file \"" + shown + "\". " + SysErrorMessage(e));
        }
    }
    handle_ = fd;
}

TFileStream::~TFileStream() { ::close(static_cast<int>(handle_)); }

int32_t TFileStream::Read(void* buffer, int32_t count) {
    if (count <= 0) return 0;
    ssize_t n;
    do n = ::read(static_cast<int>(handle_), buffer, static_cast<size_t>(count));
    while (n < 0 && errno == EINTR);
    return n < 0 ? 0 : static_cast<int32_t>(n);
}

int32_t TFileStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    const char* p = static_cast<const char*>(buffer);
    int32_t done = 0;
    while (done < count) {
        ssize_t n = ::write(static_cast<int>(handle_), p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw EWriteError("Stream write error - " + SysErrorMessage(errno));
        done += static_cast<int32_t>(n);
    }
    return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    int how = origin == TSeekOrigin::Begin ? SEEK_SET : origin == TSeekOrigin::Current ? SEEK_CUR : SEEK_END;
    return ::lseek(static_cast<int>(handle_), offset, how);
}

void TFileStream::SetSize(int64_t size) {
    if (::ftruncate(static_cast<int>(handle_), size) != 0)
        throw EWriteError("Stream write error - " + SysErrorMessage(errno));
    if (Position() > size) SetPosition(size);
}
