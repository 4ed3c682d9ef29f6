#include "fileutil/FileVersion.h"

#include <windows.h>

#include <vector>

bool TrsFileVersion::GetFileVersion(const std::string& path, uint16_t* major, uint16_t* minor,
                                    uint16_t* release, uint16_t* build) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) return false;
    std::vector<char> buffer(size);
    if (!GetFileVersionInfoA(path.c_str(), handle, size, buffer.data())) return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(buffer.data(), "\\", reinterpret_cast<void**>(&info), &len) || !info)
        return false;
    // The file version, not the product version; signature and length are not checked.
    if (major) *major = HIWORD(info->dwFileVersionMS);
    if (minor) *minor = LOWORD(info->dwFileVersionMS);
    if (release) *release = HIWORD(info->dwFileVersionLS);
    if (build) *build = LOWORD(info->dwFileVersionLS);
    return true;
}

bool TrsFileVersion::ReadFromFile(const std::string& path) {
    uint16_t a = 0, b = 0, c = 0, d = 0;
    if (!GetFileVersion(path, &a, &b, &c, &d)) {
        Clear();
        return false;
    }
    Major = a;
    Minor = b;
    Release = c;
    Build = d;
    return true;
}
