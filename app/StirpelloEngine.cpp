#include "app/StirpelloEngine.h"

#include "fileutil/PathText.h"

std::string TStirpelloEngine::DirectoryWithSlash() const {
    if (EndsWithBackslash(Directory)) return Directory;
    return Directory + "\\";
}

std::string TStirpelloEngine::Describe() const {
    if (EnginePath.empty()) return "(INVALID) " + Directory + " -> " + TargetName;
    std::string line = EnginePath + " Version " + (Version ? Version->DottedText() : "0.0.0.0");
    if (!Edition.empty()) return line + " " + Edition;
    return line + " edition undetermined";
}
