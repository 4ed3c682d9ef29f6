#include <windows.h>

#include <string>

// rename() on Windows refuses an existing target.
bool MoveOver(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
