#include "app/StirpelloEngine.h"

#include <windows.h>

TStirpelloEngine::TStirpelloEngine(const std::string& directory, const std::string& targetName)
    : Directory(directory), TargetName(targetName) {
    EnginePath = DirectoryWithSlash() + "SPEngine.exe";
    DWORD attr = GetFileAttributesA(EnginePath.c_str());
    // "Exists" as a file: a folder named SPEngine.exe is no engine.
    if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY)) {
        EnginePath.clear();
        return;
    }
    try {
        Version = std::make_unique<TrsFileVersion>();
        // A file without a version resource counts as 0.0.0.0.
        Version->ReadFromFile(EnginePath);
        try {
            Edition = Version->EditionName(EnginePath);
        } catch (...) {
            Edition.clear();
        }
        Valid = true;
    } catch (...) {
        // Valid stays false; the reader, when made, stays attached.
    }
}
