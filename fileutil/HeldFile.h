#pragma once
// Files that another program holds for a moment. On-access scanners, backup
// and sync agents open a new or changed executable for a few seconds as soon
// as it is written; an open, rename or delete that meets them fails with a
// sharing violation, a lock violation or access denied. Those are waited out
// for a bounded time; any other failure is final at once.
#include <cstdint>
#include <functional>
#include <string>

// About how long a held file is waited for before the step gives up.
constexpr uint32_t kHeldFileWaitMs = 30000;

// Whether a system error number is one that a program holding the file gives
// (ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION).
bool IsHeldFileError(uint32_t error);

// The log lines of a wait, naming the file and the system's reason.
std::string HeldFileWaitText(const std::string& path, const std::string& reason);
std::string HeldFileGiveUpText(const std::string& path, const std::string& reason);

// Runs attempt (0 on success, else the system's error number) until it
// succeeds, fails for another reason, or waitMs has passed, pausing between
// tries. note gets one line when the first wait begins and one when it gives
// up. Returns the last attempt's result. Never throws itself.
uint32_t RetryWhileHeld(const std::function<uint32_t()>& attempt, const std::string& path,
                        const std::function<void(const std::string&)>& note,
                        uint32_t waitMs = kHeldFileWaitMs);
