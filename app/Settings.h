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

// A 32-bit program that runs unelevated without a manifest has its writes to
// protected folders redirected to a per-user copy, which it then reads
// instead of the real file. The utility runs elevated and never sees that
// copy unless it looks for it.

// Where that copy of path lives: localAppData + "\VirtualStore\" + path
// without its drive; "" for a path that does not start with a drive letter.
std::string VirtualStorePath(const std::string& path, const std::string& localAppData);
// The local application data folder of the user signed in to the desktop:
// the shell's, which differs from this process's own where the utility was
// elevated with another account's password. "" when neither can be found.
std::string SignedInUserLocalAppData();
// The copy of path in that user's VirtualStore when it is a plain file (no
// link or reparse point on the way from localAppData); "" otherwise.
std::string FindVirtualStoreCopy(const std::string& path, const std::string& localAppData);

// The user's own folder for what the utility keeps when it cannot write the
// program folder (the download, the log): the process's local application
// data + "\Stirpello\Update\", made when missing. "" when it cannot be.
std::string UserUpdateFolder();
