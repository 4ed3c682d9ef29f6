#include "fileutil/FileFinder.h"

#include <windows.h>

#include "fileutil/Handles_win32.h"

void TFileFinder::Execute() {
    if (OnFound) SearchDir(RootDir);
}

void TFileFinder::SearchDir(const std::string& folder) {
    // The backslash always goes in, also after a root such as "C:\".
    std::string pattern = folder + "\\" + Mask;
    WIN32_FIND_DATAA fd;
    TFindHandle find(FindFirstFileA(pattern.c_str(), &fd));
    if (!find) return;
    do {
        std::string name = fd.cFileName;
        bool dots = name == "." || name == "..";
        uint32_t attr = fd.dwFileAttributes;
        if (!dots && attr != FILE_ATTRIBUTE_DIRECTORY) {
            TSearchRec rec;
            rec.Name = name;
            rec.Attr = attr;
            rec.Size = (static_cast<int64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
            rec.Time = (static_cast<int64_t>(fd.ftLastWriteTime.dwHighDateTime) << 32) |
                       fd.ftLastWriteTime.dwLowDateTime;
            OnFound(folder, rec);
        }
        // An equality test, not a bit test: a folder with any other attribute
        // is reported like a file and not entered.
        if (!dots && attr == FILE_ATTRIBUTE_DIRECTORY && Recursive) SearchDir(folder + "\\" + name);
    } while (FindNextFileA(find.get(), &fd));
}
