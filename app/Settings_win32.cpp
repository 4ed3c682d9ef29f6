#include "app/Settings.h"

#include <windows.h>
#include <shlobj.h>

#include <cctype>

#include "fileutil/Errors.h"
#include "fileutil/Handles_win32.h"
#include "fileutil/PathText.h"
#include "fileutil/PlainFile_win32.h"
#include "fileutil/SystemDll_win32.h"

namespace {
// The profile functions read at most this many characters of a value, plus the terminator.
const DWORD kValueBuffer = 2048;

// The profile functions open the file by name with administrator rights. It
// is opened first without following a link, checked, and held so that it
// cannot be renamed, deleted or replaced by a link until the write is done.
// Throws EError, with the reason when it is not a plain file where its path
// says.
TFileHandle HoldForWriting(const std::string& path, bool create) {
    try {
        return TFileHandle(OpenPlainFileForWriting(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, create, false));
    } catch (const ERedirectedFile& e) {
        throw EError("Unable to write to " + path + " - " + e.what());
    } catch (const EError&) {
        throw EError("Unable to write to " + path);
    }
}
}  // namespace

std::string TSettingsFile::ReadString(const std::string& section, const std::string& key,
                                      const std::string& def) const {
    char buffer[kValueBuffer];
    DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), def.c_str(), buffer,
                                       kValueBuffer, path_.c_str());
    return std::string(buffer, n);
}

void TSettingsFile::DeleteKey(const std::string& section, const std::string& key) const {
    try {
        TFileHandle held = HoldForWriting(path_, false);
        WritePrivateProfileStringA(section.c_str(), key.c_str(), nullptr, path_.c_str());
    } catch (const EError&) {
        // Missing, or not a plain file: nothing to remove there.
    }
}

void TSettingsFile::WriteString(const std::string& section, const std::string& key,
                                const std::string& value) const {
    TFileHandle held = HoldForWriting(path_, true);
    if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path_.c_str()))
        throw EError("Unable to write to " + path_);
}

std::string VirtualStorePath(const std::string& path, const std::string& localAppData) {
    if (localAppData.empty() || path.size() < 4 || path[1] != ':' || path[2] != '\\' ||
        !std::isalpha(static_cast<unsigned char>(path[0])))
        return std::string();
    std::string base = localAppData;
    if (!EndsWithBackslash(base)) base += '\\';
    return base + "VirtualStore\\" + path.substr(3);
}

std::string SignedInUserLocalAppData() {
    static const auto getFolderPath =
        SystemDllFunction<decltype(&SHGetFolderPathA)>("shell32.dll", "SHGetFolderPathA");
    char path[MAX_PATH + 1] = {};
    // The shell runs as the user signed in to the desktop, whichever account
    // elevated this process.
    DWORD pid = 0;
    if (HWND shell = GetShellWindow()) GetWindowThreadProcessId(shell, &pid);
    if (pid != 0) {
        TKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        HANDLE token = nullptr;
        if (process && OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_IMPERSONATE, &token)) {
            TKernelHandle owned(token);
            if (SUCCEEDED(getFolderPath(nullptr, CSIDL_LOCAL_APPDATA, token, SHGFP_TYPE_CURRENT, path)))
                return path;
        }
    }
    if (SUCCEEDED(getFolderPath(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)))
        return path;
    return std::string();
}

std::string FindVirtualStoreCopy(const std::string& path, const std::string& localAppData) {
    std::string copy = VirtualStorePath(path, localAppData);
    if (copy.empty()) return copy;
    // The folder belongs to the user, and this process writes there with
    // administrator rights: a junction or link could point the writes at
    // another file, so only a plain file in plain folders is taken.
    TFileHandle file(CreateFileA(copy.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file || !GetFileInformationByHandle(file.get(), &info)) return std::string();
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT) ||
        info.nNumberOfLinks != 1)
        return std::string();
    std::string base = localAppData;
    if (!EndsWithBackslash(base)) base += '\\';
    for (size_t end = copy.rfind('\\'); end != std::string::npos && end >= base.size();
         end = copy.rfind('\\', end - 1)) {
        DWORD attributes = GetFileAttributesA(copy.substr(0, end).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return std::string();
        if (end == 0) break;
    }
    return copy;
}

std::string UserUpdateFolder() {
    static const auto getFolderPath =
        SystemDllFunction<decltype(&SHGetFolderPathA)>("shell32.dll", "SHGetFolderPathA");
    char path[MAX_PATH + 1] = {};
    if (!getFolderPath ||
        FAILED(getFolderPath(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path)))
        return std::string();
    std::string folder = path;
    for (const char* part : {"Stirpello", "Update"}) {
        if (!EndsWithBackslash(folder)) folder += '\\';
        folder += part;
        // The user's own profile: nobody else can plant a link here.
        if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return std::string();
    }
    return folder + "\\";
}
