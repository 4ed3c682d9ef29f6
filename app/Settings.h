#pragma once
// The product's settings file (Stirpello.ini) through the Windows profile
// functions: section and key names without regard to case, each delete or
// write on disk at once, a write creating the file, section or key it needs.
// Windows build only.
#include <string>

class TSettingsFile {
public:
    explicit TSettingsFile(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }

    // The key's value (at most 2047 characters), or def when it is missing.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    // Removes the key; a failure is ignored.
    void DeleteKey(const std::string& section, const std::string& key) const;
    // Throws EError("Unable to write to " + path) when the write fails.
    void WriteString(const std::string& section, const std::string& key,
                     const std::string& value) const;

private:
    std::string path_;
};
