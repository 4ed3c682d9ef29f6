#pragma once
// The process's peak memory so far, in MiB: resident set natively, committed
// private memory on Windows (what a 32-bit process runs out of).
double PeakMemoryMiB();
