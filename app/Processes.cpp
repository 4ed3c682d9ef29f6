#include "app/Processes.h"

#include "fileutil/PathText.h"

namespace {

size_t NameStart(const std::string& path) {
    size_t p = LastSeparator(path, "\\:");
    return p == std::string::npos ? 0 : p + 1;
}

bool HasFolder(const std::string& path) { return NameStart(path) > 0; }

std::string FileNamePart(const std::string& path) { return path.substr(NameStart(path)); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

}  // namespace

bool ProcessNameMatches(const std::string& name, const std::string& exePath) {
    if (name.empty() || name == "*" || name == "*.*") return true;
    if (HasFolder(name)) {
        if (HasFolder(exePath)) return SameText(name, exePath);
        // Listed by image name only: the folder cannot be checked.
        return SameText(FileNamePart(name), exePath);
    }
    return SameText(name, FileNamePart(exePath));
}

bool ModuleNameMatches(const std::string& name, const std::string& modulePath) {
    if (name.empty() || name == "*" || name == "*.*") return true;
    if (HasFolder(name)) return SameText(name, modulePath);
    return SameText(name, FileNamePart(modulePath));
}
