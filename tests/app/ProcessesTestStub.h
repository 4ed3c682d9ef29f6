#pragma once
// Starts the stub program (fixtures/stubproc.c) under a given name and ends
// it again; the program waits on a named event, so nothing is left running.
#include <windows.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "fileutil/Handles_win32.h"

class TStubProcess {
public:
    // Starts exePath with the extra arguments (already quoted) and waits until
    // it has done its set-up. Throws std::runtime_error when it does not start.
    TStubProcess(const std::string& exePath, const std::string& extraArgs = "") {
        static std::atomic<int> counter{0};
        std::string base = "stirpello-stub-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(counter++);
        ready_.reset(CreateEventA(nullptr, TRUE, FALSE, (base + "-ready").c_str()));
        quit_.reset(CreateEventA(nullptr, TRUE, FALSE, (base + "-quit").c_str()));
        std::string cmd = "\"" + exePath + "\" " + base + "-ready " + base + "-quit " + extraArgs;
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessA(exePath.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &si, &pi))
            throw std::runtime_error("cannot start " + exePath + ", error " +
                                     std::to_string(GetLastError()));
        process_.reset(pi.hProcess);
        CloseHandle(pi.hThread);
        pid_ = pi.dwProcessId;
        HANDLE waits[2] = {ready_.get(), process_.get()};
        DWORD r = WaitForMultipleObjects(2, waits, FALSE, 15000);
        if (r != WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process_.get(), &code);
            Stop();
            throw std::runtime_error(exePath + " did not get ready, exit code " +
                                     std::to_string(code));
        }
    }
    ~TStubProcess() { Stop(); }
    TStubProcess(const TStubProcess&) = delete;
    TStubProcess& operator=(const TStubProcess&) = delete;

    DWORD Pid() const { return pid_; }

private:
    void Stop() {
        if (!process_) return;
        SetEvent(quit_.get());
        if (WaitForSingleObject(process_.get(), 5000) != WAIT_OBJECT_0)
            TerminateProcess(process_.get(), 1);
        process_.reset();
    }

    TKernelHandle ready_, quit_, process_;
    DWORD pid_ = 0;
};
