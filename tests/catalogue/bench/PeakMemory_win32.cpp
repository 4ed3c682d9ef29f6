#include <windows.h>
#include <psapi.h>

#include "tests/catalogue/bench/PeakMemory.h"

double PeakMemoryMiB() {
    PROCESS_MEMORY_COUNTERS c{};
    c.cb = sizeof c;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c)) return -1;
    return static_cast<double>(c.PeakPagefileUsage) / (1024.0 * 1024.0);
}
