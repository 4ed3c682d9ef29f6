#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestSupport.h"

namespace {

using testsupport::TScratchDir;

std::string Lower(std::string s) {
    CharLowerBuffA(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The folder's file names, for failure messages.
std::string Listing(const TScratchDir& dir) {
    std::string names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir / "*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        names += std::string(" ") + fd.cFileName;
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
}

struct TProbeResult {
    DWORD exitCode = 0;
    std::string output;
};

// Runs the probe from DIR (where it was copied beside the planted DLLs), with
// its own output in a file of that folder.
TProbeResult RunProbe(const TScratchDir& dir, const std::string& args) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    std::string outPath = dir / "probe.out";
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = si.hStdError = out;
    PROCESS_INFORMATION pi{};
    std::string cmd = "\"" + (dir / "dll_search_probe.exe") + "\" " + args;
    TProbeResult r;
    r.exitCode = 999;
    if (CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, dir.Path().c_str(), &si, &pi)) {
        if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 998);
        GetExitCodeProcess(pi.hProcess, &r.exitCode);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    } else {
        ADD_FAILURE() << "cannot start " << cmd << ": " << GetLastError();
    }
    CloseHandle(out);
    r.output = testsupport::ReadFile(outPath);
    return r;
}

class DllSearch : public ::testing::Test {
protected:
    void SetUp() override {
        std::string bin = testsupport::ExeDir();
        ASSERT_TRUE(CopyFileA((bin + "dll_search_probe.exe").c_str(), (dir_ / "dll_search_probe.exe").c_str(), FALSE));
        for (const char* name : {"version.dll", "planted_only.dll"})
            ASSERT_TRUE(CopyFileA((bin + "planted_dll.dll").c_str(), (dir_ / name).c_str(), FALSE));
        ASSERT_GT(GetSystemDirectoryA(system_, MAX_PATH), 0u);
    }
    TScratchDir dir_{"dllsearch"};
    char system_[MAX_PATH] = {};
};

// The control: without the narrowing, a bare name is looked for beside the
// program first. A DLL found only there is loaded and its DllMain runs; this is
// what an attacker relies on. version.dll too is found there first (Wine then
// runs its own code under that path, Windows would run the planted one).
TEST_F(DllSearch, WithoutNarrowingTheProgramFolderComesFirst) {
    TProbeResult r = RunProbe(dir_, "planted_only.dll");
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_NE(r.output.find("planted DllMain ran"), std::string::npos) << r.output;
    EXPECT_TRUE(Exists(dir_ / "planted_only.dll.ran")) << r.output << "files:" << Listing(dir_);

    r = RunProbe(dir_, "version.dll");
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_NE(Lower(r.output).find(Lower(dir_ / "version.dll")), std::string::npos) << r.output;
}

// Narrowed, version.dll comes from the system folder, a DLL that only exists
// beside the program is not found at all, and neither planted DllMain runs.
TEST_F(DllSearch, NarrowedLoadsComeOnlyFromTheSystemFolder) {
    TProbeResult r = RunProbe(dir_, "--narrow version.dll");
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_NE(r.output.find("narrowed by SetDefaultDllDirectories"), std::string::npos) << r.output;
    EXPECT_NE(Lower(r.output).find(Lower(std::string(system_) + "\\version.dll")), std::string::npos) << r.output;

    r = RunProbe(dir_, "--narrow planted_only.dll");
    EXPECT_EQ(r.exitCode, 1u) << r.output;
    EXPECT_NE(r.output.find("not loaded"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("planted DllMain ran"), std::string::npos) << r.output;

    EXPECT_FALSE(Exists(dir_ / "version.dll.ran"));
    EXPECT_FALSE(Exists(dir_ / "planted_only.dll.ran"));
}

}  // namespace
