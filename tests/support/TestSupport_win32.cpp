#include "tests/support/TestSupport.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testsupport {

std::string ExeDir() {
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    std::string s(buf, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

static void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string n = fd.cFileName;
            if (n == "." || n == "..") continue;
            std::string p = dir + "\\" + n;
            SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(p);
            else DeleteFileA(p.c_str());
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    SetFileAttributesA(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryA(dir.c_str());
}

TScratchDir::TScratchDir(const std::string& name) {
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    std::string base = std::string(tmp) + "stirpello-tests";
    CreateDirectoryA(base.c_str(), nullptr);
    std::string dir = base + "\\" + name + "-" + std::to_string(GetCurrentProcessId());
    RemoveTree(dir);
    CreateDirectoryA(dir.c_str(), nullptr);
    path_ = dir + "\\";
}

TScratchDir::~TScratchDir() { RemoveTree(path_.substr(0, path_.size() - 1)); }

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

int TimeScale() {
    char text[16] = {};
    const DWORD n = GetEnvironmentVariableA("STIRPELLO_TEST_TIME_SCALE", text, sizeof text);
    if (n == 0 || n >= sizeof text) return 1;
    const int scale = atoi(text);
    return scale >= 1 && scale <= 20 ? scale : 1;
}

std::string LaunchRecord(const TScratchDir& dir) {
    for (int i = 0; i < 100; ++i) {
        std::string r = ReadFile(dir / "UpdateModuleLaunched.txt");
        // Whole once its rights are written: "[elevated]" or "[not elevated]".
        if (r.find(']') != std::string::npos) return r;
        Sleep(50);
    }
    return std::string();
}

}  // namespace testsupport
