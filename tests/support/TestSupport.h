#pragma once
// Small helpers shared by the tests: scratch folders and file contents.
#include <string>

namespace testsupport {

// Folder of the running test program, with a trailing separator. The build
// puts every program, fixture executable included, in that one folder.
std::string ExeDir();

// A fresh empty folder for one test, removed with its content on destruction.
class TScratchDir {
public:
    explicit TScratchDir(const std::string& name);
    ~TScratchDir();
    TScratchDir(const TScratchDir&) = delete;
    TScratchDir& operator=(const TScratchDir&) = delete;
    // Path with a trailing separator.
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);  // "" when missing

#ifdef _WIN32
// The record the stub update module writes in dir when started, waited for a
// few seconds; "" when none came.
std::string LaunchRecord(const TScratchDir& dir);

// How many times slower than the host this run's programs are:
// STIRPELLO_TEST_TIME_SCALE (1 to 20; the emulated 32-bit guest sets 4), 1
// when unset. Bounds on how long something may take are stretched by it.
int TimeScale();
#endif

}  // namespace testsupport
