#pragma once
// Blocking work that must not take user input, yet must not leave the window
// looking hung either: the work runs on a worker thread while this thread
// answers only sent messages and paints. Keyboard and mouse input that
// arrives meanwhile is discarded, as a blocked window would never have acted
// on it while it mattered.
#include <functional>

// Runs work on a worker (COM initialised there as a single-threaded
// apartment) and returns when it has ended, rethrowing what it threw. Throws
// EOSError when the worker cannot be started.
void RunWhileWindowWaits(const std::function<void()>& work);
