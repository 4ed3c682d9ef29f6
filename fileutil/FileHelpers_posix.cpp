#include "fileutil/FileHelpers.h"

#include <sys/stat.h>

// Natively only the size query is needed (tools and tests of the web reader).
int64_t TEasyFile::FileSize(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}
