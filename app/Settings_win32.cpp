#include "app/Settings.h"

#include <windows.h>

#include "fileutil/Errors.h"

namespace {
// The profile functions read at most this many characters of a value, plus the terminator.
const DWORD kValueBuffer = 2048;
}  // namespace

std::string TSettingsFile::ReadString(const std::string& section, const std::string& key,
                                      const std::string& def) const {
    char buffer[kValueBuffer];
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buffer,
                                       kValueBuffer, path_.c_str());
    return std::string(buffer, n);
}

void TSettingsFile::DeleteKey(const std::string& section, const std::string& key) const {
    WritePrivateProfileStringA(section.c_str(), key.c_str(), nullptr, path_.c_str());
}

void TSettingsFile::WriteString(const std::string& section, const std::string& key,
                                const std::string& value) const {
    if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path_.c_str()))
        throw EError("Unable to write to " + path_);
}
