#pragma once
// For download tests under Wine: the loopback site (a Linux program, which
// Wine starts like any other) and an in-process driver that watches and
// clicks the test's own windows from a second thread.
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"

namespace dltest {

// The Linux path of a path in the prefix, as the site needs it.
inline std::string UnixPath(const std::string& winPath) {
    using TGetUnix = char*(CDECL*)(const wchar_t*);
    auto fn = reinterpret_cast<TGetUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!fn) throw std::runtime_error("not running under Wine");
    std::wstring w(winPath.begin(), winPath.end());
    char* p = fn(w.c_str());
    if (!p) throw std::runtime_error("no Linux path for " + winPath);
    std::string s = p;
    HeapFree(GetProcessHeap(), 0, p);
    return s;
}

inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int stepMs = 50) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        Sleep(static_cast<DWORD>(stepMs));
    }
    return true;
}

// The native site program: STIRPELLO_FAKESITE (a Linux path), else the
// native tree's copy beside this Windows tree (<build>/native/bin/fakesite).
inline std::string FakeSiteProgram() {
    const char* env = std::getenv("STIRPELLO_FAKESITE");
    if (env && *env) return env;
    const std::string path = testsupport::ExeDir() + "..\\..\\native\\bin\\fakesite";
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        throw std::runtime_error("the native tree's fakesite is missing: " + path);
    return UnixPath(path);
}

// Runs a Linux command line from Wine without waiting for it. Wine cannot
// wait on or terminate a Linux process, nor hand it a pipe, so the site
// reports through files and is stopped with kill.
inline void RunLinux(const std::string& shellCommand) {
    std::string cmd = "/bin/sh -c \"" + shellCommand + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        throw std::runtime_error("cannot run " + cmd);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

// One site process for one test, with its own faults. It is killed when this
// object goes, and stops by itself after 150 s in case that never happens.
class TSiteProcess {
public:
    // args: the site's own arguments (--module, --fault, --file ...), with
    // Linux paths.
    TSiteProcess(const testsupport::TScratchDir& dir, const std::vector<std::string>& args)
        : portFile_(dir / "site-port.txt"), pidFile_(dir / "site-pid.txt"), logFile_(dir / "site-requests.txt") {
        std::string cmd = "echo $$ >'" + UnixPath(pidFile_) + "'; exec '" + FakeSiteProgram() +
                          "' --lifetime 150 --log '" + UnixPath(logFile_) + "'";
        for (const std::string& a : args) cmd += " '" + a + "'";
        cmd += " >'" + UnixPath(portFile_) + "' 2>&1 </dev/null";
        RunLinux(cmd);
        WaitUntil([&] { return (port_ = std::atoi(testsupport::ReadFile(portFile_).c_str())) > 0; }, 10000);
        if (port_ <= 0) throw std::runtime_error("the site did not start: " + testsupport::ReadFile(portFile_));
    }
    ~TSiteProcess() {
        const int pid = std::atoi(testsupport::ReadFile(pidFile_).c_str());
        if (pid > 0) {
            try {
                RunLinux("kill " + std::to_string(pid));
            } catch (...) {
            }
        }
    }
    TSiteProcess(const TSiteProcess&) = delete;
    TSiteProcess& operator=(const TSiteProcess&) = delete;

    std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string Url(const std::string& path) const { return "http://" + Host() + path; }

    // The request heads received so far, in order.
    std::vector<std::string> Requests() const {
        std::vector<std::string> heads;
        std::string log = testsupport::ReadFile(logFile_);
        size_t at = 0;
        for (size_t end; (end = log.find("\r\n\r\n", at)) != std::string::npos; at = end + 4)
            heads.push_back(log.substr(at, end + 4 - at));
        return heads;
    }

private:
    std::string portFile_, pidFile_, logFile_;
    int port_ = 0;
};

// The value of a header in a request head ("" when absent).
inline std::string Header(const std::string& head, const std::string& name) {
    size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    at += name.size() + 4;
    return head.substr(at, head.find("\r\n", at) - at);
}

inline std::string RequestPath(const std::string& head) {
    size_t a = head.find(' ') + 1;
    return head.substr(a, head.find(' ', a) - a);
}

struct TWindowSearch {
    std::string cls, title;
    HWND found;
};

inline BOOL CALLBACK MatchOwnWindow(HWND h, LPARAM lp) {
    auto* search = reinterpret_cast<TWindowSearch*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid != GetCurrentProcessId() || !IsWindowVisible(h)) return TRUE;
    char buf[256];
    GetClassNameA(h, buf, sizeof buf);
    if (!search->cls.empty() && search->cls != buf) return TRUE;
    GetWindowTextA(h, buf, sizeof buf);
    if (!search->title.empty() && search->title != buf) return TRUE;
    search->found = h;
    return FALSE;
}

// A visible top-level window of this process with this class and title (""
// for any). Only this process's windows, so tests may run side by side.
inline HWND FindOwnWindow(const std::string& cls, const std::string& title) {
    TWindowSearch search{cls, title, nullptr};
    EnumWindows(MatchOwnWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Text of a window owned by another thread of this process.
inline std::string TextOf(HWND h) {
    char buf[1024] = {0};
    DWORD_PTR n = 0;
    SendMessageTimeoutA(h, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 3000, &n);
    return buf;
}

// Waits for a message box of this process and answers it with OK; returns
// its text, or "" when none came in time.
inline std::string AnswerMessageBox(int timeoutMs) {
    HWND box = nullptr;
    WaitUntil([&] { return (box = FindOwnWindow("#32770", "")) != nullptr; }, timeoutMs);
    if (!box) return "";
    std::string text = TextOf(GetDlgItem(box, 0xFFFF));
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return text;
}

}  // namespace dltest
