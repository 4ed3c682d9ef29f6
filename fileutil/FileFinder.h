#pragma once
// TFileFinder: hands each entry of a folder that matches Mask to OnFound,
// descending into plain subfolders (attributes exactly 16) when Recursive.
#include <cstdint>
#include <functional>
#include <string>

// One directory entry as the file system reports it.
struct TSearchRec {
    std::string Name;  // without folder
    uint32_t Attr = 0;
    int64_t Size = 0;
    int64_t Time = 0;  // last write, as a FILETIME value
};

class TFileFinder {
public:
    std::string RootDir = "C:\\";
    std::string Mask = "*.*";
    // Receives the searched folder and the entry. An exception it throws ends
    // the whole search and reaches the caller of Execute.
    std::function<void(const std::string& folder, const TSearchRec& entry)> OnFound;
    bool Recursive = true;

    void Execute();
    void SearchDir(const std::string& folder);
};
