#pragma once
// A stand-in for the on-access scanners, backup and sync agents of real
// machines: it opens every new or changed file of the chosen kinds in a
// folder tree as soon as it can, and holds it open for a while (reading,
// sharing read and write but not delete), as they do.
#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class TStandInScanner {
public:
    // folder: the tree to watch; holdMs: how long each file is held;
    // extensions: lower-case endings such as ".exe", ".tmp".
    TStandInScanner(std::string folder, DWORD holdMs, std::vector<std::string> extensions);
    ~TStandInScanner();  // stops and closes every handle
    TStandInScanner(const TStandInScanner&) = delete;
    TStandInScanner& operator=(const TStandInScanner&) = delete;

    // How many times a file was opened and held, and the paths, so that a
    // test can show the scanner did get in the way.
    int Holds() const { return holds_.load(); }
    std::vector<std::string> HeldPaths() const;

private:
    struct TSeen {
        FILETIME Written{};
        ULONGLONG Size = 0;
    };
    struct THeld {
        HANDLE Handle;
        ULONGLONG Until;
        std::string Path;
    };
    void Run();
    void Scan(const std::string& dir, int depth);
    bool Wanted(const std::string& name) const;

    std::string folder_;
    DWORD holdMs_;
    std::vector<std::string> extensions_;
    std::map<std::string, TSeen> seen_;
    std::vector<THeld> held_;
    mutable std::mutex pathsLock_;
    std::vector<std::string> paths_;
    std::atomic<int> holds_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace testsupport
