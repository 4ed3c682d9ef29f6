#include "fileutil/HeldFile.h"

#include <chrono>
#include <thread>

#include "fileutil/Errors.h"

namespace {
const uint32_t kErrorAccessDenied = 5;
const uint32_t kErrorSharingViolation = 32;
const uint32_t kErrorLockViolation = 33;
// Short enough to catch a scanner letting go, long enough not to spin.
const uint32_t kPauseMs = 100;
}  // namespace

bool IsHeldFileError(uint32_t error) {
    return error == kErrorAccessDenied || error == kErrorSharingViolation ||
           error == kErrorLockViolation;
}

std::string HeldFileWaitText(const std::string& path, const std::string& reason) {
    return path + " is in use by another program (" + reason + "), waiting for it";
}

std::string HeldFileGiveUpText(const std::string& path, const std::string& reason) {
    return path + " is still in use by another program (" + reason + "), giving up";
}

uint32_t RetryWhileHeld(const std::function<uint32_t()>& attempt, const std::string& path,
                        const std::function<void(const std::string&)>& note, uint32_t waitMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    bool waited = false;
    while (true) {
        uint32_t error = attempt();
        if (error == 0 || !IsHeldFileError(error)) return error;
        if (Clock::now() >= deadline) {
            if (note) note(HeldFileGiveUpText(path, SysErrorMessage(error)));
            return error;
        }
        if (!waited && note) note(HeldFileWaitText(path, SysErrorMessage(error)));
        waited = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs));
    }
}
