// The real programs started from a folder holding a planted uxtheme.dll, the
// DLL the common controls load by bare name as the first window is made.
// ctest runs this with WINEDLLOVERRIDES preferring a uxtheme.dll found on the
// search path over Wine's own, as Windows would.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestSupport.h"

namespace {

using testsupport::TScratchDir;

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct TFindWindow {
    DWORD pid;
    bool found;
};

BOOL CALLBACK FindVisibleWindowOf(HWND hwnd, LPARAM param) {
    auto* find = reinterpret_cast<TFindWindow*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == find->pid && IsWindowVisible(hwnd)) {
        find->found = true;
        return FALSE;
    }
    return TRUE;
}

// The own token's linked, limited one, as Windows starts a program for an
// administrator under UAC: started elevated, the utility would show its
// window from a second process (started without administrator rights).
HANDLE LimitedToken() {
    HANDLE own = nullptr, primary = nullptr;
    TOKEN_LINKED_TOKEN linked{};
    DWORD got = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own) &&
        GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &got) && linked.LinkedToken) {
        DuplicateTokenEx(linked.LinkedToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &primary);
        CloseHandle(linked.LinkedToken);
    }
    if (own) CloseHandle(own);
    return primary;
}

// Starts PROGRAM from DIR, limited, and waits until it shows a window (its start-up,
// common controls included, is then done), ends by itself, or 15 s pass;
// then ends it. Returns whether a window was seen.
bool StartAndWaitForWindow(const TScratchDir& dir, const std::string& program) {
    std::string path = dir / program;
    std::string cmd = "\"" + path + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    HANDLE limited = LimitedToken();
    if (!limited) {
        ADD_FAILURE() << "no limited token: " << GetLastError();
        return false;
    }
    const BOOL started = CreateProcessAsUserA(limited, path.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                                              dir.Path().c_str(), &si, &pi);
    CloseHandle(limited);
    if (!started) {
        ADD_FAILURE() << "cannot start " << path << ": " << GetLastError();
        return false;
    }
    TFindWindow find{pi.dwProcessId, false};
    for (int i = 0; i < 300 && !find.found; ++i) {
        if (WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0) break;
        EnumWindows(FindVisibleWindowOf, reinterpret_cast<LPARAM>(&find));
    }
    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return find.found;
}

class PlantedDll : public ::testing::Test {
protected:
    void SetUp() override {
        std::string bin = testsupport::ExeDir();
        for (const char* program : {"DownloadStirpelloUpdate.exe", "message_box_fixture.exe"})
            ASSERT_TRUE(CopyFileA((bin + program).c_str(), (dir_ / program).c_str(), FALSE)) << program;
        ASSERT_TRUE(CopyFileA((bin + "planted_dll.dll").c_str(), (dir_ / "uxtheme.dll").c_str(), FALSE));
    }
    TScratchDir dir_{"planted"};
};

// The control: a program that does not narrow the DLL search (a plain message
// box) runs the planted DllMain.
TEST_F(PlantedDll, RunsInAProgramThatDoesNotNarrowTheSearch) {
    StartAndWaitForWindow(dir_, "message_box_fixture.exe");
    EXPECT_TRUE(Exists(dir_ / "uxtheme.dll.ran"));
}

// The utility narrows the search before anything loads uxtheme: its window
// comes up and the planted DllMain never runs.
TEST_F(PlantedDll, NeverRunsInTheUtility) {
    EXPECT_TRUE(StartAndWaitForWindow(dir_, "DownloadStirpelloUpdate.exe"));
    EXPECT_FALSE(Exists(dir_ / "uxtheme.dll.ran"));
}

}  // namespace
