#pragma once
// Stateless file helpers: size query and a whole-file copy.
#include <cstdint>
#include <string>

// windows.h defines CopyFile as a macro, which would rename the member; include
// windows.h before this header.
#ifdef CopyFile
#undef CopyFile
#endif

class TEasyFile {
public:
    TEasyFile() = delete;
    // -1 when no file is there (a folder does not count), 0 when its size
    // cannot be read, else the size in bytes. Never throws.
    static int64_t FileSize(const std::string& path);
};

class TFileCopy {
public:
    TFileCopy() = delete;
    // Copies source over target with the source's date and attributes. False
    // when nothing was copied: equal names, source not openable, target not
    // creatable or replaceable. The copy goes to a temporary file beside the
    // target first, so a failure never leaves a truncated target. Throws
    // EReadError when reading the source fails part-way.
    static bool CopyFile(const std::string& source, const std::string& target);
};
