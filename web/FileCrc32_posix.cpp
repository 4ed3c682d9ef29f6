#include "fileutil/Errors.h"
#include "fileutil/Stream.h"
#include "web/Crc32.h"

int32_t FileCrc32(const std::string& path) {
    TFileStream file(path, fmOpenRead | fmShareDenyWrite);
    uint32_t crc = 0xFFFFFFFFu;
    char block[2048];
    int32_t got;
    do {
        got = file.Read(block, sizeof block);
        crc = UpdateCrc32(crc, block, static_cast<size_t>(got));
    } while (got == static_cast<int32_t>(sizeof block));
    return static_cast<int32_t>(crc ^ 0xFFFFFFFFu);
}
