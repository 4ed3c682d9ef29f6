#include "app/ModuleTrust_win32.h"

#include <sddl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <vector>

#include "fileutil/Errors.h"
#include "fileutil/Handles_win32.h"
#include "fileutil/HeldFile.h"
#include "fileutil/PathText.h"
#include "fileutil/PlainFile_win32.h"
#include "fileutil/SystemDll_win32.h"
#include "web/Sha256_win32.h"

#ifndef ERROR_ELEVATION_REQUIRED
#define ERROR_ELEVATION_REQUIRED 740L  // not in every mingw-w64 header
#endif

const char* const kProtectedSddl = "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";

namespace {

// The module is about 1.3 MB; anything far larger is not it.
const LONGLONG kMaxModuleBytes = 256ll << 20;

struct TLocalFree {
    void operator()(void* p) const { LocalFree(p); }
};

// Security attributes with the protected access list, owned.
// The SID of the process's user, as text; "" when the token cannot be read.
std::string CurrentUserSid() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return std::string();
    TFileHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(raw, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!GetTokenInformation(raw, TokenUser, buffer.data(), size, &size)) return std::string();
    char* text = nullptr;
    if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return std::string();
    std::string sid(text);
    LocalFree(text);
    return sid;
}

class TProtectedAttributes {
public:
    // forUser: the folder is made with the user's own rights, and the user
    // keeps full control of it beside administrators and SYSTEM.
    explicit TProtectedAttributes(bool forUser = false) {
        std::string sddl = kProtectedSddl;
        const std::string user = forUser ? CurrentUserSid() : std::string();
        if (!user.empty()) sddl += "(A;OICI;FA;;;" + user + ")";
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
            sd_.reset(sd);
        attributes_.nLength = sizeof attributes_;
        attributes_.lpSecurityDescriptor = sd_.get();
        attributes_.bInheritHandle = FALSE;
    }
    SECURITY_ATTRIBUTES* get() { return sd_ ? &attributes_ : nullptr; }

private:
    std::unique_ptr<void, TLocalFree> sd_;
    SECURITY_ATTRIBUTES attributes_{};
};


std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return s;
}

std::string FolderOf(const std::string& path) {
    size_t slash = LastSeparator(path, "\\/");
    return slash == std::string::npos ? std::string(".\\") : path.substr(0, slash + 1);
}

std::string LastErrorText() { return SysErrorMessage(GetLastError()); }

// Opens with retries while another program holds the file.
HANDLE OpenHeld(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                SECURITY_ATTRIBUTES* sa, const TTrustNote& note) {
    HANDLE h = INVALID_HANDLE_VALUE;
    uint32_t e = RetryWhileHeld(
        [&]() -> uint32_t {
            h = CreateFileA(path.c_str(), access, share, sa, disposition, flags, nullptr);
            return h == INVALID_HANDLE_VALUE ? static_cast<uint32_t>(GetLastError()) : 0u;
        },
        path, note);
    if (e != 0) SetLastError(e);
    return h;
}

bool ReadAll(HANDLE h, std::string* bytes, std::string* error) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) {
        *error = LastErrorText();
        return false;
    }
    if (size.QuadPart > kMaxModuleBytes) {
        *error = "the file is larger than any update module";
        return false;
    }
    bytes->assign(static_cast<size_t>(size.QuadPart), '\0');
    size_t at = 0;
    while (at < bytes->size()) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes->size() - at, 1u << 20));
        if (!ReadFile(h, &(*bytes)[at], want, &got, nullptr) || got == 0) {
            *error = got == 0 ? std::string("Stream read error") : LastErrorText();
            return false;
        }
        at += got;
    }
    return true;
}

std::string Digest(const std::string& bytes, std::string* error) {
    try {
        return Lower(Sha256Hex(bytes.data(), bytes.size()));
    } catch (const EError& e) {
        *error = e.Message();
        return std::string();
    }
}

}  // namespace

std::wstring AnsiWide(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.c_str(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

std::string LinkedPathReason(const std::string& path) {
    WIN32_FIND_DATAA fd;
    TFindHandle find(FindFirstFileA(path.c_str(), &fd));
    if (!find) return std::string();
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return path + " is a link (junction or symbolic link)";
    TFileHandle h(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (h && GetFileInformationByHandle(h.get(), &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        info.nNumberOfLinks > 1)
        return path + " has more than one hard link";
    return std::string();
}

std::string MakeProtectedFolder(const std::string& folder, bool forUser) {
    std::string bare = folder;
    if (EndsWithBackslash(bare)) bare.pop_back();
    DWORD attr = GetFileAttributesA(bare.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES) {
        if (attr & FILE_ATTRIBUTE_REPARSE_POINT) return bare + " is a link (junction or symbolic link)";
        if (!(attr & FILE_ATTRIBUTE_DIRECTORY)) return bare + " is not a folder";
    } else {
        TProtectedAttributes sa(forUser);
        if (!CreateDirectoryA(bare.c_str(), sa.get()) && GetLastError() != ERROR_ALREADY_EXISTS)
            return "cannot create " + bare + " (" + LastErrorText() + ")";
        attr = GetFileAttributesA(bare.c_str());
        if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !(attr & FILE_ATTRIBUTE_DIRECTORY))
            return bare + " is a link (junction or symbolic link)";
    }
    // What was made or found, read through a handle that does not follow it.
    TFileHandle h(CreateFileA(bare.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!h || !GetFileInformationByHandle(h.get(), &info)) return "cannot open " + bare + " (" + LastErrorText() + ")";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return bare + " is a link (junction or symbolic link)";
    return std::string();
}

std::string DeletePlainFile(const std::string& path, const TTrustNote& note) {
    std::string reason = LinkedPathReason(path);
    if (!reason.empty()) return reason;
    std::string redirected;
    uint32_t e = RetryWhileHeld(
        [&]() -> uint32_t {
            // Opened for deletion, so that what is checked is what goes.
            HANDLE h = CreateFileA(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            if (h == INVALID_HANDLE_VALUE) return static_cast<uint32_t>(GetLastError());
            TFileHandle owned(h);
            redirected = RedirectedFileReason(h, path);
            if (!redirected.empty()) return ERROR_INVALID_PARAMETER;
            FILE_DISPOSITION_INFO dispose{TRUE};
            if (!SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose))
                return static_cast<uint32_t>(GetLastError());
            return 0u;
        },
        path, note);
    if (!redirected.empty()) return redirected;
    return e == 0 ? std::string() : SysErrorMessage(e);
}

std::string InstallModule(const std::string& source, const std::string& target,
                          const std::string& expectedSha256, const TTrustNote& note, const TTrustHooks& hooks) {
    if (Lower(source) == Lower(target)) return "the source and the target are the same file";
    // Writers and deleters are shut out from here until the copy is written.
    TFileHandle src(OpenHeld(source, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr, note));
    if (!src) return "cannot open " + source + " (" + LastErrorText() + ")";
    std::string reason = RedirectedFileReason(src.get(), source);
    if (!reason.empty()) return reason;
    std::string bytes, error;
    if (!ReadAll(src.get(), &bytes, &error)) return "cannot read " + source + " (" + error + ")";
    std::string digest = Digest(bytes, &error);
    if (digest.empty()) return "the SHA-256 of " + source + " cannot be computed (" + error + ")";
    if (digest != Lower(expectedSha256)) return source + " is not the publisher's module (SHA-256 " + digest + ")";
    if (hooks.AfterSourceChecked) hooks.AfterSourceChecked();

    reason = LinkedPathReason(target);
    if (!reason.empty()) return reason;
    // A fresh name nobody could have prepared: CREATE_NEW fails on anything there.
    TProtectedAttributes sa;
    std::string temp;
    TFileHandle dst;
    for (int attempt = 0; attempt < 100 && !dst; ++attempt) {
        temp = FolderOf(target) + "cpy" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(GetTickCount64() % 1000000) + "-" + std::to_string(attempt) + ".tmp";
        dst.reset(CreateFileA(temp.c_str(), GENERIC_WRITE | DELETE, 0, sa.get(), CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!dst && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return "cannot create a file beside " + target + " (" + LastErrorText() + ")";
    }
    if (!dst) return "cannot create a file beside " + target;
    auto discard = [&](const std::string& why) {
        FILE_DISPOSITION_INFO dispose{TRUE};
        SetFileInformationByHandle(dst.get(), FileDispositionInfo, &dispose, sizeof dispose);
        dst.reset();
        return why;
    };
    reason = RedirectedFileReason(dst.get(), temp);
    if (!reason.empty()) return discard(reason);
    DWORD put = 0;
    if (!WriteFile(dst.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) ||
        put != bytes.size())
        return discard("cannot write " + temp + " (" + LastErrorText() + ")");
    FILETIME written;
    if (GetFileTime(src.get(), nullptr, nullptr, &written)) SetFileTime(dst.get(), nullptr, nullptr, &written);
    FlushFileBuffers(dst.get());

    // Renamed through the handle we wrote, so the name that replaces the
    // module is the file we filled.
    // The rename takes a path of the native form.
    std::wstring wideTarget = L"\\??\\" + AnsiWide(target);
    std::vector<unsigned char> rename(sizeof(FILE_RENAME_INFO) + wideTarget.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(rename.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(wideTarget.size() * sizeof(wchar_t));
    std::copy(wideTarget.begin(), wideTarget.end(), info->FileName);
    uint32_t e = RetryWhileHeld(
        [&]() -> uint32_t {
            return SetFileInformationByHandle(dst.get(), FileRenameInfo, info, static_cast<DWORD>(rename.size()))
                       ? 0u
                       : static_cast<uint32_t>(GetLastError());
        },
        target, note);
    if (e != 0) return discard("cannot replace " + target + " (" + SysErrorMessage(e) + ")");
    dst.reset();
    return std::string();
}

namespace {

// The signed-in user's own token, for starting a program without the
// administrator rights of this one. Under UAC it is the linked token; a
// process without the TCB privilege gets it only for identification, and
// then there is none to be had here.
TKernelHandle UnelevatedToken(std::string* error) {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) {
        *error = LastErrorText();
        return TKernelHandle();
    }
    TKernelHandle ownToken(own);
    TOKEN_LINKED_TOKEN linked{};
    DWORD got = 0;
    if (!GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked, &got) || !linked.LinkedToken) {
        *error = LastErrorText();
        return TKernelHandle();
    }
    TKernelHandle linkedToken(linked.LinkedToken);
    HANDLE primary = nullptr;
    if (!DuplicateTokenEx(linked.LinkedToken, TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY |
                                                  TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                          nullptr, SecurityImpersonation, TokenPrimary, &primary)) {
        *error = LastErrorText();
        return TKernelHandle();
    }
    return TKernelHandle(primary);
}

}  // namespace

bool ProcessIsElevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    TKernelHandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD got = 0;
    return GetTokenInformation(raw, TokenElevation, &elevation, sizeof elevation, &got) &&
           elevation.TokenIsElevated != 0;
}

TLaunchResult LaunchModule(const std::string& path, const std::string& folder, const std::string& expectedSha256,
                           bool mustBeGenuine, bool userRightsOnly, const TTrustHooks& hooks) {
    TLaunchResult result;
    // Sharing reading only: nobody may change, rename or delete it until it runs.
    TFileHandle module(OpenHeld(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr, nullptr));
    if (!module) {
        result.Error = "cannot open " + path + " (" + LastErrorText() + ")";
        return result;
    }
    result.Error = RedirectedFileReason(module.get(), path);
    if (!result.Error.empty()) return result;
    std::string bytes, error;
    if (!ReadAll(module.get(), &bytes, &error)) {
        result.Error = "cannot read " + path + " (" + error + ")";
        return result;
    }
    std::string digest = Digest(bytes, &error);
    const bool genuine = !digest.empty() && digest == Lower(expectedSha256);
    if (!genuine && mustBeGenuine) {
        result.Error = path + " is not the module that was installed (SHA-256 " +
                       (digest.empty() ? "not computable: " + error : digest) + ")";
        return result;
    }
    if (hooks.BeforeStart) hooks.BeforeStart();

    std::wstring app = AnsiWide(path);
    std::wstring command = L"\"" + app + L"\"";
    std::wstring directory = AnsiWide(folder);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    BOOL ok;
    // From an open folder nothing runs with administrator rights that the
    // utility holds (started "as administrator"), not even the genuine
    // module: it would load DLLs from that folder, which users can plant.
    if (!userRightsOnly || hooks.NotElevated || !ProcessIsElevated()) {
        if (hooks.ElevationRequired) {
            ok = FALSE;
            SetLastError(ERROR_ELEVATION_REQUIRED);
        } else {
            ok = CreateProcessW(app.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                                &si, &pi);
        }
        if (!ok && GetLastError() == ERROR_ELEVATION_REQUIRED && userRightsOnly) {
            // Elevated from a folder others can change, it would run what
            // they put there with an administrator's rights.
            result.RightsRefused = true;
            result.Error = "it asks for administrator rights, and users other than the administrators can change "
                           "its folder";
            return result;
        }
        if (!ok && GetLastError() == ERROR_ELEVATION_REQUIRED) {
            // The module asks for administrator rights: Windows' own prompt
            // then names its signer. By full path, while the checked file
            // is still held.
            SHELLEXECUTEINFOW sei{};
            sei.cbSize = sizeof sei;
            sei.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
            sei.lpFile = app.c_str();
            sei.lpDirectory = directory.c_str();
            sei.nShow = SW_SHOWNORMAL;
            if (hooks.Elevate ? hooks.Elevate(sei) : ShellExecuteLate(&sei) != FALSE) {
                result.Started = true;
                return result;
            }
            error = GetLastError() == ERROR_CANCELLED ? "administrator rights were not given for it"
                                                      : LastErrorText();
        } else if (!ok) {
            error = LastErrorText();
        }
    } else {
        TKernelHandle user = UnelevatedToken(&error);
        if (!user) {
            result.Error = "it would run with administrator rights from a folder that ordinary users can change, "
                           "and the signed-in user's own rights are not available here (" + error + ")";
            return result;
        }
        ok = CreateProcessAsUserW(user.get(), app.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                  directory.c_str(), &si, &pi);
        if (!ok) error = LastErrorText();
        result.Unelevated = ok != FALSE;
    }
    if (!ok) {
        result.Error = error;
        return result;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    result.Started = true;
    return result;
}
