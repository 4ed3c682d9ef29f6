#include "tools/updcat/FileOutput.h"

#include <cstdio>

#include "fileutil/Errors.h"

bool MoveOver(const std::string& from, const std::string& to);  // per platform

void WriteFileReplacing(const std::string& path, const std::string& bytes) {
    const std::string temp = path + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) throw EError("cannot create " + temp);
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok || !MoveOver(temp, path)) {
        std::remove(temp.c_str());
        throw EError("cannot write " + path);
    }
}
