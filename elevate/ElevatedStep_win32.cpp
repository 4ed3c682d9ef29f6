#include "elevate/ElevatedStep_win32.h"

#include <windows.h>
#include <winternl.h>
#include <aclapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <vector>

#include "elevate/FolderSafety_win32.h"
#include "elevate/IniEdit.h"
#include "elevate/ModuleVersion.h"
#include "elevate/StepChannel_win32.h"
#include "fileutil/Handles_win32.h"
#include "fileutil/NtFile_win32.h"
#include "fileutil/Errors.h"
#include "fileutil/SystemDll_win32.h"
#include "web/Sha256_win32.h"

#ifndef FILE_OPEN
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#endif
#ifndef FILE_NON_DIRECTORY_FILE
#define FILE_NON_DIRECTORY_FILE 0x00000040
#endif

namespace {

const wchar_t kEngine[] = L"SPEngine.exe";
const wchar_t kModule[] = L"Stirpello.exe";
const wchar_t kSettings[] = L"Stirpello.ini";
const char kNotAProgramFolder[] =
    "not a program folder the step works in: a folder named by its full name, reached without links, on a "
    "built-in fixed disk, that only administrators can change and that holds SPEngine.exe";
// Long enough for a slow download between two requests, short enough that
// a step nobody talks to does not linger.
const DWORD kIdleMs = 30 * 60 * 1000;

TStepReply Reply(TStepResult result, const std::string& reason = std::string()) {
    TStepReply r;
    r.result = result;
    r.reason = reason;
    return r;
}

std::string ErrorText(DWORD code) { return SysErrorMessage(code); }

// The path as the ANSI text the verdict reads; refused when a character has
// no ANSI form (the folder would not be the one named).
bool Narrow(const std::wstring& w, std::string* out) {
    if (w.empty()) return false;
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), static_cast<int>(w.size()), nullptr, 0,
                                nullptr, &lossy);
    if (n <= 0 || lossy) return false;
    out->assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), static_cast<int>(w.size()), &(*out)[0], n, nullptr,
                        &lossy);
    return !lossy;
}

// A plain file in the held folder: not a link, not a folder, one name only.
std::string PlainFileReason(HANDLE h, const std::wstring& leaf) {
    BY_HANDLE_FILE_INFORMATION info;
    const std::string name(leaf.begin(), leaf.end());
    if (!GetFileInformationByHandle(h, &info)) return "cannot read " + name + " (" + ErrorText(GetLastError()) + ")";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return name + " is a link";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return name + " is a folder";
    if (info.nNumberOfLinks != 1) return name + " has more than one name (hard link)";
    return std::string();
}

bool ReadWhole(HANDLE h, size_t limit, std::string* bytes, std::string* why) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) {
        *why = ErrorText(GetLastError());
        return false;
    }
    if (size.QuadPart < 0 || static_cast<unsigned long long>(size.QuadPart) > limit) {
        *why = "larger than " + std::to_string(limit) + " bytes";
        return false;
    }
    bytes->assign(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < bytes->size()) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes->size() - done, 1 << 20));
        if (!ReadFile(h, &(*bytes)[done], want, &got, nullptr)) {
            *why = ErrorText(GetLastError());
            return false;
        }
        if (got == 0) break;
        done += got;
    }
    bytes->resize(done);
    return true;
}

bool WriteWhole(HANDLE h, const std::string& bytes, std::string* why) {
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD put = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        if (!WriteFile(h, bytes.data() + done, want, &put, nullptr) || put == 0) {
            *why = ErrorText(GetLastError());
            return false;
        }
        done += put;
    }
    if (!FlushFileBuffers(h)) {
        *why = ErrorText(GetLastError());
        return false;
    }
    return true;
}

// Marks an open file for deletion when its handle closes.
void Discard(HANDLE h) {
    FILE_DISPOSITION_INFO dispose{TRUE};
    SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose);
}

std::wstring FreshName(const wchar_t* leaf) {
    return std::wstring(leaf) + L"." + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(GetTickCount()) + L".tmp";
}

bool Retryable(DWORD e) {
    return e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION || e == ERROR_ACCESS_DENIED;
}

}  // namespace

struct TElevatedStep::TState {
    std::unique_ptr<THeldFolder> folder;
};

TElevatedStep::TElevatedStep(TStepPin pin) : pin_(std::move(pin)), state_(new TState) {}
TElevatedStep::~TElevatedStep() { delete state_; }

namespace {

// The access list of an open file, to give its replacement; null when
// there is none to read.
struct TLocalFreeDeleter {
    void operator()(void* p) const { LocalFree(p); }
};
using TDescriptor = std::unique_ptr<void, TLocalFreeDeleter>;

TDescriptor DaclOf(HANDLE h, PACL* dacl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    *dacl = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr, &sd) !=
        ERROR_SUCCESS)
        return TDescriptor();
    return TDescriptor(sd);
}

// Writes bytes to a fresh file in the held folder, then puts it in place of
// leaf by a rename relative to the same handle. The new file takes the given
// access list where there is one (else the folder's). Nothing is left behind
// on failure.
std::string ReplaceInFolder(HANDLE folder, const wchar_t* leaf, const std::string& bytes, PACL dacl) {
    const std::wstring temp = FreshName(leaf);
    NTSTATUS status = 0;
    TFileHandle fresh(OpenRelative(folder, temp, GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC, 0, FILE_CREATE,
                                   FILE_NON_DIRECTORY_FILE, &status));
    if (!fresh) return "cannot create a new file in the folder (" + ErrorText(GetLastError()) + ")";
    if (dacl)
        SetSecurityInfo(fresh.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
    std::string why;
    if (!WriteWhole(fresh.get(), bytes, &why)) {
        Discard(fresh.get());
        return "cannot write the new file (" + why + ")";
    }
    // Security software often holds a fresh file or the old one for a moment.
    DWORD error = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (RenameRelative(fresh.get(), folder, leaf, true, &status)) return std::string();
        error = GetLastError();
        if (!Retryable(error)) break;
        Sleep(100);
    }
    Discard(fresh.get());
    const std::wstring w(leaf);
    return "cannot replace " + std::string(w.begin(), w.end()) + " (" + ErrorText(error) + ")";
}

}  // namespace

TStepReply TElevatedStep::Execute(const TRequest& request) {
    TState& s = *state_;
    if (request.kind == TStepKind::OpenFolder) {
        std::string dir;
        if (!Narrow(request.folder, &dir)) return Reply(TStepResult::Refused, "the folder's name has no ANSI form");
        // One fixed reason for every refusal: with administrator rights the
        // step could otherwise tell anyone where a link leads, whether a
        // name they cannot see exists, or who may change it. The main
        // process logs its own verdict, made with the user's rights.
        const TStepReply refused = Reply(TStepResult::Failed, kNotAProgramFolder);
        std::string why;
        s.folder = THeldFolder::Open(dir, &why, TFolderWalk::FromGivenPath);
        if (!s.folder) return refused;
        TFolderSafety safety = Combine(JudgeHeldFolder(*s.folder), JudgeFileInFolder(*s.folder, kModule));
        if (safety.Verdict != TFolderVerdict::AdminOnly) {
            s.folder.reset();
            return refused;
        }
        NTSTATUS status = 0;
        TFileHandle engine(OpenRelative(s.folder->Handle(), kEngine, FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                        FILE_NON_DIRECTORY_FILE, &status));
        if (!engine || !PlainFileReason(engine.get(), kEngine).empty()) {
            s.folder.reset();
            return refused;
        }
        return Reply(TStepResult::Done);
    }
    if (!s.folder) return Reply(TStepResult::Refused, "no folder is open");
    const HANDLE folder = s.folder->Handle();
    NTSTATUS status = 0;

    switch (request.kind) {
    case TStepKind::RemovePostponingKeys:
    case TStepKind::WriteNotify:
    case TStepKind::WriteWantsUpdate: {
        // A settings file others may write is theirs to write, not the step's.
        const TFolderSafety ini = JudgeFileInFolder(*s.folder, kSettings);
        if (ini.Verdict != TFolderVerdict::AdminOnly)
            return Reply(TStepResult::Refused, "Stirpello.ini can be changed by others: " + ini.Reason);
        // Never created: a missing settings file stays missing.
        TFileHandle file(OpenRelative(folder, kSettings, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, FILE_OPEN,
                                     FILE_NON_DIRECTORY_FILE, &status));
        if (!file) return Reply(TStepResult::Failed, "cannot open Stirpello.ini (" + ErrorText(GetLastError()) + ")");
        std::string why = PlainFileReason(file.get(), kSettings);
        if (!why.empty()) return Reply(TStepResult::Refused, why);
        std::string bytes;
        if (!ReadWhole(file.get(), IniMaxSize, &bytes, &why))
            return Reply(TStepResult::Failed, "cannot read Stirpello.ini (" + why + ")");
        TIniResult edited;
        try {
            if (request.kind == TStepKind::RemovePostponingKeys) edited = RemovePostponingKeys(bytes);
            else if (request.kind == TStepKind::WriteNotify) edited = SetNotifyForAnyUpdate(bytes);
            else edited = SetWantsUpdate(bytes, request.wantsUpdate);
        } catch (const std::exception& e) {
            return Reply(TStepResult::Refused, std::string("Stirpello.ini: ") + e.what());
        }
        if (!edited.changed) return Reply(TStepResult::NothingToChange);
        PACL dacl = nullptr;
        TDescriptor keep = DaclOf(file.get(), &dacl);
        // Closed before the rename replaces it; only administrators can
        // change it meanwhile, which the folder's verdict has shown.
        file.reset();
        why = ReplaceInFolder(folder, kSettings, edited.bytes, dacl);
        return why.empty() ? Reply(TStepResult::Done) : Reply(TStepResult::Failed, why);
    }
    case TStepKind::InstallModule: {
        if (request.module.size() != pin_.Size)
            return Reply(TStepResult::Refused, "the module does not have the expected size");
        std::string digest;
        try {
            digest = Sha256Hex(request.module.data(), request.module.size());
        } catch (const std::exception& e) {
            return Reply(TStepResult::Failed, std::string("cannot compute the SHA-256: ") + e.what());
        }
        if (digest != pin_.Sha256) return Reply(TStepResult::Refused, "the module is not the publisher's (SHA-256)");
        // The one it replaces must be a plain file, if there is one, and not
        // a newer module: an older build of this utility would otherwise
        // roll the product's module back. Its version is read through the
        // handle; one without a version (damaged) is replaced.
        TFileHandle old(OpenRelative(folder, kModule, GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                     FILE_NON_DIRECTORY_FILE, &status));
        if (old) {
            std::string why = PlainFileReason(old.get(), kModule);
            if (!why.empty()) return Reply(TStepResult::Refused, why);
            std::string oldBytes;
            uint64_t oldVersion = 0, newVersion = 0;
            if (ReadWhole(old.get(), StepMaxModuleSize, &oldBytes, &why) && FixedFileVersion(oldBytes, &oldVersion) &&
                FixedFileVersion(request.module, &newVersion) && oldVersion > newVersion)
                return Reply(TStepResult::Refused, "Stirpello.exe in the folder is newer than this utility's module");
            old.reset();
        }
        std::string why = ReplaceInFolder(folder, kModule, request.module, nullptr);
        if (!why.empty()) return Reply(TStepResult::Failed, why);
        return Reply(TStepResult::Done);
    }
    case TStepKind::LaunchModule: {
        // Only the pinned module starts with the step's rights, whoever put
        // it there: a folder that passes the verdict is no proof of a
        // genuine module. Held sharing reading only, hashed through that
        // handle, and started while held: what starts is what was hashed.
        TFileHandle module(OpenRelative(folder, kModule, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                                        FILE_NON_DIRECTORY_FILE, &status));
        if (!module) return Reply(TStepResult::Failed, "cannot open Stirpello.exe (" + ErrorText(GetLastError()) + ")");
        std::string why = PlainFileReason(module.get(), kModule);
        if (!why.empty()) return Reply(TStepResult::Refused, why);
        std::string bytes;
        if (!ReadWhole(module.get(), pin_.Size, &bytes, &why) || bytes.size() != pin_.Size)
            return Reply(TStepResult::Refused, "Stirpello.exe is not this utility's module (size)");
        std::string digest;
        try {
            digest = Sha256Hex(bytes.data(), bytes.size());
        } catch (const std::exception& e) {
            return Reply(TStepResult::Failed, std::string("cannot compute the SHA-256: ") + e.what());
        }
        if (digest != pin_.Sha256)
            return Reply(TStepResult::Refused, "Stirpello.exe is not this utility's module (SHA-256)");
        const std::wstring dir = s.folder->FinalPath();
        const std::wstring app = dir + L"\\" + kModule;
        std::wstring command = L"\"" + app + L"\"";
        if (BeforeLaunch) BeforeLaunch(app);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(app.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi))
            return Reply(TStepResult::Failed, ErrorText(GetLastError()));
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return Reply(TStepResult::Done);
    }
    default:
        return Reply(TStepResult::Refused, "not a request the step takes");
    }
}

int RunElevatedStep(const std::wstring& pipeName, const TStepPin& pin, const TStepServer& server) {
    // Elevated, from wherever the exe lies (Downloads too): without the safe
    // search every DLL it loads late could be one planted beside it.
    if (!GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")) return 3;
    TElevatedStep step(pin);
    std::string why;
    return ServeStepChannel(
        pipeName, pin.Size,
        [&step](const TRequest& request, const TStepSession&) { return step.Execute(request); }, kIdleMs, &why,
        server);
}

namespace {

// Whether anything but blanks follows the program's name, which the parser
// takes up to the closing quote, or else up to the first blank.
bool HasArguments(const wchar_t* commandLine) {
    const wchar_t* p = commandLine;
    if (*p == L'"') {
        ++p;
        while (*p && *p != L'"') ++p;
        if (*p) ++p;
    } else {
        while (*p && *p != L' ' && *p != L'\t') ++p;
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return *p != 0;
}

}  // namespace

bool IsElevatedStepCommandLine(const wchar_t* commandLine, std::wstring* pipeName) {
    if (!commandLine) return false;
    // The usual start has no arguments: it is told apart without shell32,
    // which would otherwise be loaded before the window shows.
    if (!HasArguments(commandLine)) return false;
    decltype(&CommandLineToArgvW) toArgv = nullptr;
    try {
        toArgv = SystemDllFunction<decltype(&CommandLineToArgvW)>("shell32.dll", "CommandLineToArgvW");
    } catch (const EOSError&) {
        return false;
    }
    int argc = 0;
    LPWSTR* argv = toArgv(commandLine, &argc);
    if (!argv) return false;
    const bool is = argc == 3 && std::wstring(argv[1]) == StepArgument;
    if (is) *pipeName = argv[2];
    LocalFree(argv);
    return is;
}
