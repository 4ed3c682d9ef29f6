#include <sys/resource.h>

#include "tests/catalogue/bench/PeakMemory.h"

double PeakMemoryMiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;  // KiB on Linux
}
