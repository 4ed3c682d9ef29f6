#include <windows.h>
#include <psapi.h>

#include "tests/catalogue/bench/PeakMemory.h"

double PeakMemoryMiB() {
    PROCESS_MEMORY_COUNTERS c{};
    c.cb = sizeof c;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c)) return -1;
    // Wine does not track the commit peak; the working-set peak it does.
    SIZE_T peak = c.PeakPagefileUsage > c.PeakWorkingSetSize ? c.PeakPagefileUsage : c.PeakWorkingSetSize;
    return static_cast<double>(peak) / (1024.0 * 1024.0);
}
