#pragma once
// TStirpelloEngine: one candidate product folder judged at creation: does it
// hold the engine SPEngine.exe, which version is it, which edition.
#include <memory>
#include <string>
#include <vector>

#include "fileutil/FileVersion.h"

class TStirpelloEngine {
public:
    // Looks at directory\SPEngine.exe now; all file access happens here.
    // targetName is only shown by Describe (a shortcut's target file name, or
    // "SPEngine.exe"). Never throws for file errors: a missing engine leaves
    // EnginePath empty, a failed version read leaves Valid false. Windows only.
    TStirpelloEngine(const std::string& directory, const std::string& targetName);
    // An identification that looked at nothing (not valid), for callers that
    // script the services.
    TStirpelloEngine() = default;

    std::string Directory;                  // as given
    std::unique_ptr<TrsFileVersion> Version;  // set only when the engine file exists
    std::string TargetName;
    std::string EnginePath;  // DirectoryWithSlash + "SPEngine.exe", or "" when missing
    std::string Edition;     // "" when undetermined
    bool Valid = false;

    // Directory with a trailing backslash ("\" for an empty Directory).
    std::string DirectoryWithSlash() const;
    // The run-log line: "(INVALID) dir -> target", or the engine path, its
    // version and its edition.
    std::string Describe() const;
};

// An owning list of identifications, such as the main window's ShortcutEngines.
using TStirpelloEngineList = std::vector<std::unique_ptr<TStirpelloEngine>>;
