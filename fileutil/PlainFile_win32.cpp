#include "fileutil/PlainFile_win32.h"

#include <cwctype>
#include <string>
#include <vector>

#include "fileutil/Errors.h"
#include "fileutil/Handles_win32.h"

namespace {

std::wstring Wide(const std::string& text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

// The last count backslash-separated parts of path, in upper case.
std::wstring Tail(const std::wstring& path, int count) {
    size_t at = path.size();
    while (at > 0 && path[at - 1] == L'\\') --at;
    size_t end = at;
    for (int i = 0; i < count && at > 0; ++i) {
        size_t slash = path.rfind(L'\\', at - 1);
        at = slash == std::wstring::npos ? 0 : slash;
    }
    std::wstring tail = path.substr(at, end - at);
    for (auto& c : tail) c = static_cast<wchar_t>(std::towupper(c));
    return tail;
}

// The full path with long names, for comparison with a final path (which
// never has 8.3 names). The file itself may not exist yet: its folder does.
std::wstring LongFullPath(const std::string& path) {
    std::wstring wide = Wide(path);
    wchar_t full[32768];
    DWORD n = GetFullPathNameW(wide.c_str(), 32768, full, nullptr);
    if (n == 0 || n >= 32768) return wide;
    std::wstring result(full, n);
    size_t slash = result.rfind(L'\\');
    if (slash == std::wstring::npos) return result;
    std::wstring folder = result.substr(0, slash);
    if (folder.size() == 2) folder += L'\\';  // "C:" alone names the current folder
    std::vector<wchar_t> buffer(32768);
    DWORD m = GetLongPathNameW(folder.c_str(), buffer.data(), 32768);
    if (m == 0 || m >= 32768) return result;
    std::wstring longFolder(buffer.data(), m);
    if (!longFolder.empty() && longFolder.back() == L'\\') longFolder.pop_back();
    return longFolder + result.substr(slash);
}

}  // namespace

std::string RedirectedFileReason(HANDLE file, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info))
        return path + " cannot be examined: " + SysErrorMessage(GetLastError());
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return path + " is a link (junction or symbolic link), not a file";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return path + " is a folder, not a file";
    if (info.nNumberOfLinks > 1)
        return path + " has " + std::to_string(info.nNumberOfLinks) + " names (hard links)";
    using TGetFinalPath = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    static const auto getFinalPath = reinterpret_cast<TGetFinalPath>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleW")));
    if (!getFinalPath) return std::string();
    std::vector<wchar_t> buffer(32768);
    DWORD n = getFinalPath(file, buffer.data(), 32768, 0);
    if (n == 0 || n >= 32768) return path + " cannot be located: " + SysErrorMessage(GetLastError());
    std::wstring final(buffer.data(), n);
    if (Tail(final, 2) != Tail(LongFullPath(path), 2)) {
        // The final path in the ANSI code page, for the log line.
        std::string shown(final.size() * 2 + 1, '\0');
        int m = WideCharToMultiByte(CP_ACP, 0, final.data(), static_cast<int>(final.size()), &shown[0],
                                    static_cast<int>(shown.size()), nullptr, nullptr);
        shown.resize(m > 0 ? static_cast<size_t>(m) : 0);
        return path + " leads elsewhere, to " + shown;
    }
    return std::string();
}

HANDLE OpenPlainFileForWriting(const std::string& path, DWORD access, DWORD share, bool create, bool truncate) {
    // The link itself is opened, never its target, and nothing is emptied
    // before the checks.
    TFileHandle h(CreateFileA(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr,
                              create ? OPEN_ALWAYS : OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) {
        DWORD e = GetLastError();
        if (create) throw EFOpenError("Cannot create file \"" + path + "\". " + SysErrorMessage(e));
        char full[MAX_PATH] = {};
        if (!GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr)) lstrcpynA(full, path.c_str(), MAX_PATH);
        throw EFOpenError("Cannot open file \"" + std::string(full) + "\". " + SysErrorMessage(e));
    }
    std::string reason = RedirectedFileReason(h.get(), path);
    if (!reason.empty())
        throw ERedirectedFile("Refused to write: " + reason);
    if (truncate && !SetEndOfFile(h.get())) {
        DWORD e = GetLastError();
        throw EFOpenError("Cannot create file \"" + path + "\". " + SysErrorMessage(e));
    }
    return h.release();
}
