#pragma once
// What the parts of explain (matcher, diagnosis, output) share beyond
// Explain.h.
#include <string>

#include "app/RunMessages.h"

// Does the path name the update module (...\Stirpello.exe, any letter case)?
bool NamesModule(const std::string& path);

// What the reply tells the user about a fault: what happened, and what to do.
struct TUserWords {
    std::string Said;
    std::string Ask;
    // For a run that started the module all the same, the ask holds only if
    // Stirpello does not update (false: it holds in any case).
    bool AskIfNotUpdated = true;
};
// By the fault's line; null for a line that is never a fault.
const TUserWords* UserWordsFor(TRunMsg id);
// Faults whose meaning depends on the rest of the run.
enum class TUserCase { CrcTwice, BlockedWithProxy, NoModuleToReplace, Cut };
TUserWords UserWordsFor(TUserCase c);
// By the system's reason a line carries (lowered), or empty words.
TUserWords UserWordsForReason(const std::string& words);
