#include "fileutil/FileVersion.h"

#include <windows.h>

#include <vector>

#include "fileutil/Errors.h"
#include "fileutil/SystemDll_win32.h"

namespace {

// version.dll is not one of the DLLs Windows always takes from the system
// folder: imported, a copy planted beside the program would be loaded.
struct TVersionApi {
    decltype(&GetFileVersionInfoSizeA) InfoSize = nullptr;
    decltype(&GetFileVersionInfoA) Info = nullptr;
    decltype(&VerQueryValueA) Query = nullptr;
    DWORD LoadError = 0;
};

const TVersionApi& VersionApi() {
    static const TVersionApi api = [] {
        TVersionApi a;
        try {
            a.InfoSize =
                SystemDllFunction<decltype(&GetFileVersionInfoSizeA)>("version.dll", "GetFileVersionInfoSizeA");
            a.Info = SystemDllFunction<decltype(&GetFileVersionInfoA)>("version.dll", "GetFileVersionInfoA");
            a.Query = SystemDllFunction<decltype(&VerQueryValueA)>("version.dll", "VerQueryValueA");
        } catch (const EOSError& e) {
            a = TVersionApi();
            a.LoadError = e.Code;
        }
        return a;
    }();
    return api;
}

}  // namespace

bool TrsFileVersion::GetFileVersion(const std::string& path, uint16_t* major, uint16_t* minor,
                                    uint16_t* release, uint16_t* build) {
    const TVersionApi& api = VersionApi();
    if (!api.Query) {
        // Unreadable as if the file had no version resource; the cause stays
        // in the last error for whoever logs it.
        SetLastError(api.LoadError);
        return false;
    }
    DWORD handle = 0;
    DWORD size = api.InfoSize(path.c_str(), &handle);
    if (size == 0) return false;
    std::vector<char> buffer(size);
    if (!api.Info(path.c_str(), handle, size, buffer.data())) return false;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    if (!api.Query(buffer.data(), "\\", reinterpret_cast<void**>(&info), &len) || !info)
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
