#pragma once
// The process's peak memory so far, in MiB: resident set natively; on
// Windows the larger of the committed and the working-set peaks.
double PeakMemoryMiB();
