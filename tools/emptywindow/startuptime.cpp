// startuptime: how long a GUI program takes from its start until its first
// top-level window is visible, over many runs, programs taken in turn so that
// drift in the machine hits each alike.
//   startuptime [--runs N] [--warmup N] PROGRAM...
// Prints min, median and mean per program in milliseconds, and each
// program's median and minimum against the last one's (the peer): the
// minimum is the least disturbed by other work on the machine.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct TFind {
    DWORD pid;
    HWND found;
};

BOOL CALLBACK FindVisible(HWND hwnd, LPARAM param) {
    auto* f = reinterpret_cast<TFind*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == f->pid && IsWindowVisible(hwnd) && !GetWindow(hwnd, GW_OWNER)) {
        f->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

double Now(const LARGE_INTEGER& freq) {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

// One start; returns milliseconds until the window showed, or -1.
double TimeOnce(const std::string& program, const LARGE_INTEGER& freq) {
    std::string cmd = "\"" + program + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const double start = Now(freq);
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "startuptime: cannot start %s (error %lu)\n", program.c_str(), GetLastError());
        return -1;
    }
    TFind f = {pi.dwProcessId, nullptr};
    double shown = -1;
    // Bounded: a program that never shows a window fails the run.
    while (Now(freq) - start < 20000) {
        EnumWindows(FindVisible, reinterpret_cast<LPARAM>(&f));
        if (f.found) {
            shown = Now(freq) - start;
            break;
        }
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) break;
        Sleep(1);
    }
    if (f.found) PostMessageA(f.found, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (shown < 0) std::fprintf(stderr, "startuptime: %s showed no window\n", program.c_str());
    return shown;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 20, warmup = 2;
    std::vector<std::string> programs;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (a == "--warmup" && i + 1 < argc) {
            warmup = std::atoi(argv[++i]);
        } else {
            programs.push_back(a);
        }
    }
    if (programs.empty() || runs < 1 || warmup < 0) {
        std::fputs("usage: startuptime [--runs N] [--warmup N] PROGRAM... (the last is the peer)\n", stderr);
        return 2;
    }
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    std::vector<std::vector<double>> times(programs.size());
    for (int r = 0; r < warmup + runs; ++r) {
        for (size_t p = 0; p < programs.size(); ++p) {
            const double ms = TimeOnce(programs[p], freq);
            if (ms < 0) return 1;
            if (r >= warmup) times[p].push_back(ms);
        }
    }
    const double peer = Median(times.back());
    const double peerMin = *std::min_element(times.back().begin(), times.back().end());
    std::printf("%-32s %9s %9s %9s %8s %10s\n", "program (ms to window shown)", "min", "median", "mean", "ratio",
                "min ratio");
    for (size_t p = 0; p < programs.size(); ++p) {
        const auto& t = times[p];
        double sum = 0;
        for (double x : t) sum += x;
        std::string name = programs[p];
        const size_t slash = name.find_last_of("\\/");
        if (slash != std::string::npos) name = name.substr(slash + 1);
        const double least = *std::min_element(t.begin(), t.end());
        std::printf("%-32s %9.1f %9.1f %9.1f %8.2f %10.2f\n", name.c_str(), least, Median(t),
                    sum / static_cast<double>(t.size()), Median(t) / peer, least / peerMin);
    }
    std::printf("runs: %d each after %d warm-up, taken in turn\n", runs, warmup);
    return 0;
}
