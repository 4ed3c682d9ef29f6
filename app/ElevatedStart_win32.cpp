#include "app/ElevatedStart_win32.h"

#include <exdisp.h>
#include <sddl.h>
#include <shldisp.h>
#include <shlobj.h>

#include <cstdlib>
#include <cwctype>
#include <vector>

#include "app/DownloadStirpelloForm_win32.h"
#include "app/ModuleTrust_win32.h"
#include "fileutil/Handles_win32.h"
#include "fileutil/SystemDll_win32.h"

namespace {

// The interfaces of the desktop shell's route, named here rather than taken
// from a GUID library.
const CLSID kShellWindows = {0x9BA05972, 0xF6A8, 0x11CF, {0xA4, 0x42, 0x00, 0xA0, 0xC9, 0x0A, 0x8F, 0x39}};
const IID kIShellWindows = {0x85CB6900, 0x4D95, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
const GUID kTopLevelBrowser = {0x4C96BE40, 0x915C, 0x11CF, {0x99, 0xD3, 0x00, 0xAA, 0x00, 0x4A, 0xE8, 0x37}};
const IID kIShellBrowser = {0x000214E2, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIServiceProvider = {0x6D5140C1, 0x7436, 0x11CE, {0x80, 0x34, 0x00, 0xAA, 0x00, 0x60, 0x09, 0xFA}};
const IID kIDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIShellFolderViewDual = {0xE7A1AF80, 0x4D96, 0x11CF, {0x96, 0x0C, 0x00, 0x80, 0xC7, 0xF4, 0xEE, 0x85}};
const IID kIShellDispatch2 = {0xA4C6892C, 0x3BA9, 0x11D2, {0x9D, 0xEA, 0x00, 0xC0, 0x4F, 0xB1, 0x61, 0x62}};

// Holds one COM interface pointer.
template <typename T>
class TCom {
public:
    TCom() = default;
    ~TCom() {
        if (p_) p_->Release();
    }
    TCom(const TCom&) = delete;
    TCom& operator=(const TCom&) = delete;
    T** Out() { return &p_; }
    void** Void() { return reinterpret_cast<void**>(&p_); }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

std::string Hr(const char* what, HRESULT hr) {
    char text[16];
    wsprintfA(text, "%08lX", static_cast<unsigned long>(hr));
    return std::string(what) + " (0x" + text + ")";
}

std::wstring OwnPath() {
    std::vector<wchar_t> path(32768);
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    return n == 0 || n >= path.size() ? std::wstring() : std::wstring(path.data(), n);
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// Starts exe through the desktop shell's own ShellExecute, so that it runs
// with the token of the shell: the desktop user's unelevated one.
bool StartThroughShell(const std::wstring& exe, const std::wstring& parameters, std::string* why) {
    const HRESULT init = CoInitializeLate(COINIT_APARTMENTTHREADED);
    struct TUninit {
        bool on;
        ~TUninit() {
            if (on) CoUninitializeLate();
        }
    } uninit{SUCCEEDED(init)};
    using TAlloc = decltype(&SysAllocString);
    using TFree = decltype(&SysFreeString);
    TAlloc alloc = nullptr;
    TFree release = nullptr;
    try {
        alloc = SystemDllFunction<TAlloc>("oleaut32.dll", "SysAllocString");
        release = SystemDllFunction<TFree>("oleaut32.dll", "SysFreeString");
    } catch (const std::exception& e) {
        *why = e.what();
        return false;
    }
    TCom<IShellWindows> windows;
    HRESULT hr = CoCreateInstanceLate(kShellWindows, nullptr, CLSCTX_LOCAL_SERVER, kIShellWindows, windows.Void());
    if (FAILED(hr)) return *why = Hr("the desktop shell's windows cannot be reached", hr), false;
    VARIANT desktop = {}, none = {};
    desktop.vt = VT_I4;
    desktop.lVal = CSIDL_DESKTOP;
    none.vt = VT_EMPTY;
    long hwnd = 0;
    TCom<IDispatch> found;
    hr = windows->FindWindowSW(&desktop, &none, SWC_DESKTOP, &hwnd, SWFO_NEEDDISPATCH, found.Out());
    if (hr != S_OK || !found) return *why = Hr("the desktop window was not found", hr), false;
    TCom<IServiceProvider> provider;
    hr = found->QueryInterface(kIServiceProvider, provider.Void());
    TCom<IShellBrowser> browser;
    if (SUCCEEDED(hr)) hr = provider->QueryService(kTopLevelBrowser, kIShellBrowser, browser.Void());
    TCom<IShellView> view;
    if (SUCCEEDED(hr)) hr = browser->QueryActiveShellView(view.Out());
    TCom<IDispatch> background;
    if (SUCCEEDED(hr)) hr = view->GetItemObject(SVGIO_BACKGROUND, kIDispatch, background.Void());
    TCom<IShellFolderViewDual> dual;
    if (SUCCEEDED(hr)) hr = background->QueryInterface(kIShellFolderViewDual, dual.Void());
    TCom<IDispatch> application;
    if (SUCCEEDED(hr)) hr = dual->get_Application(application.Out());
    TCom<IShellDispatch2> shell;
    if (SUCCEEDED(hr)) hr = application->QueryInterface(kIShellDispatch2, shell.Void());
    if (FAILED(hr)) return *why = Hr("the desktop shell cannot start programs for this one", hr), false;

    BSTR file = alloc(exe.c_str());
    VARIANT args = {}, dir = {}, verb = {}, show = {};
    args.vt = dir.vt = verb.vt = VT_BSTR;
    args.bstrVal = alloc(parameters.c_str());
    dir.bstrVal = alloc(FolderOf(exe).c_str());
    verb.bstrVal = alloc(L"open");
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
// The method's name, not windows.h's macro for the A or W function.
#pragma push_macro("ShellExecute")
#undef ShellExecute
    hr = file && args.bstrVal && dir.bstrVal && verb.bstrVal ? shell->ShellExecute(file, args, dir, verb, show)
                                                             : E_OUTOFMEMORY;
#pragma pop_macro("ShellExecute")
    release(file);
    release(args.bstrVal);
    release(dir.bstrVal);
    release(verb.bstrVal);
    if (FAILED(hr)) return *why = Hr("the desktop shell did not start the window", hr), false;
    return true;
}

// Starts exe with a restricted copy of this process's token: no privileges
// but bypassing traverse checks, Administrators for deny entries only, and
// medium integrity. Returns its process, and its id in *pid.
HANDLE StartRestricted(const std::wstring& exe, const std::wstring& parameters, DWORD* pid, std::string* why) {
    TKernelHandle own;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, own.out())) {
        *why = "the token cannot be read: " + SysErrorMessage(GetLastError());
        return nullptr;
    }
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size)) {
        *why = SysErrorMessage(GetLastError());
        return nullptr;
    }
    SID_AND_ATTRIBUTES deny = {admins, 0};
    TKernelHandle restricted;
    if (!CreateRestrictedToken(own.get(), DISABLE_MAX_PRIVILEGE, 1, &deny, 0, nullptr, 0, nullptr,
                               restricted.out())) {
        *why = "no restricted token can be made: " + SysErrorMessage(GetLastError());
        return nullptr;
    }
    PSID medium = nullptr;
    if (!ConvertStringSidToSidW(L"S-1-16-8192", &medium)) {
        *why = SysErrorMessage(GetLastError());
        return nullptr;
    }
    TOKEN_MANDATORY_LABEL label = {};
    label.Label.Attributes = SE_GROUP_INTEGRITY;
    label.Label.Sid = medium;
    const BOOL labelled =
        SetTokenInformation(restricted.get(), TokenIntegrityLevel, &label, sizeof label + GetLengthSid(medium));
    const DWORD labelError = GetLastError();
    LocalFree(medium);
    if (!labelled) {
        *why = "the restricted token cannot be given medium integrity: " + SysErrorMessage(labelError);
        return nullptr;
    }
    std::wstring command = L"\"" + exe + L"\" " + parameters;
    const std::wstring dir = FolderOf(exe);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessAsUserW(restricted.get(), exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                              dir.c_str(), &si, &pi)) {
        *why = "the window cannot be started: " + SysErrorMessage(GetLastError());
        return nullptr;
    }
    CloseHandle(pi.hThread);
    *pid = pi.dwProcessId;
    return pi.hProcess;
}

#ifdef STIRPELLO_TEST_OVERRIDES
// Test builds only: the desktop shell starts the window with its own
// environment, as on Windows, which lacks the test's STIRPELLO_* settings
// (the loopback site among them). The elevated start leaves them in a file
// named after its process id, and the window takes them from there.
std::wstring TestEnvironmentFile(DWORD stepPid) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"stirpello-test-env-" + std::to_wstring(stepPid) + L".txt";
}

void PassTestEnvironment() {
    std::string lines;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1)
        if (wcsncmp(p, L"STIRPELLO_", 10) == 0) {
            const std::wstring line(p);
            lines += std::string(line.begin(), line.end()) + "\n";
        }
    FreeEnvironmentStringsW(block);
    TFileHandle file(CreateFileW(TestEnvironmentFile(GetCurrentProcessId()).c_str(), GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    DWORD put = 0;
    if (file) WriteFile(file.get(), lines.data(), static_cast<DWORD>(lines.size()), &put, nullptr);
}

void TakeTestEnvironment(DWORD stepPid) {
    const std::wstring path = TestEnvironmentFile(stepPid);
    TFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file) return;
    char buffer[16384];
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) return;
    const std::string text(buffer, got);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        const size_t eq = line.find('=');
        // The C library's copy too: the settings are read with getenv.
        if (eq != std::string::npos) _putenv_s(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str());
    }
}
#else
void PassTestEnvironment() {}
void TakeTestEnvironment(DWORD) {}
#endif

struct TAttached {
    std::unique_ptr<TStepChannel> Channel;
    std::string Failure;
    std::string Rights;
    bool Attached = false;
};
TAttached& Attached() {
    static TAttached attached;
    return attached;
}

}  // namespace

bool IsUnelevatedWindowCommandLine(const wchar_t* commandLine, TWindowStart* start) {
    if (!commandLine || !wcsstr(commandLine, UnelevatedWindowArgument)) return false;
    decltype(&CommandLineToArgvW) toArgv = nullptr;
    try {
        toArgv = SystemDllFunction<decltype(&CommandLineToArgvW)>("shell32.dll", "CommandLineToArgvW");
    } catch (const std::exception&) {
        return false;
    }
    int argc = 0;
    LPWSTR* argv = toArgv(commandLine, &argc);
    if (!argv) return false;
    bool is = argc == 5 && std::wstring(argv[1]) == UnelevatedWindowArgument;
    if (is) {
        wchar_t* end = nullptr;
        const unsigned long pid = wcstoul(argv[3], &end, 10);
        const std::wstring how = argv[4];
        is = end && *end == 0 && pid != 0 && (how == L"shell" || how == L"restricted");
        if (is) {
            start->Pipe = argv[2];
            start->StepPid = static_cast<DWORD>(pid);
            start->ThroughShell = how == L"shell";
        }
    }
    LocalFree(argv);
    return is;
}

bool ShellIsElevated() {
#ifdef STIRPELLO_TEST_OVERRIDES
    const char* seam = std::getenv("STIRPELLO_TEST_SHELL_NOT_ELEVATED");
    if (seam && std::string(seam) == "1") return false;
#endif
    const HWND shell = GetShellWindow();
    DWORD pid = 0;
    if (!shell || !GetWindowThreadProcessId(shell, &pid) || pid == 0) return true;
    TKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    TKernelHandle token;
    if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, token.out())) return true;
    TOKEN_ELEVATION elevation = {};
    DWORD got = 0;
    return !GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &got) ||
           elevation.TokenIsElevated != 0;
}

int RunElevatedStart(const TStepPin& pin) {
    std::string why;
    const std::wstring exe = OwnPath();
    std::wstring pipe;
    try {
        pipe = NewStepPipeName();
    } catch (const std::exception& e) {
        why = e.what();
    }
    TStepServer server;
    server.Starter = false;
    TKernelHandle window;
    if (!exe.empty() && !pipe.empty()) {
        const std::wstring base =
            std::wstring(UnelevatedWindowArgument) + L" " + pipe + L" " + std::to_wstring(GetCurrentProcessId());
        bool started = false;
        if (!ShellIsElevated()) {
            PassTestEnvironment();
            started = StartThroughShell(exe, base + L" shell", &why);
        }
        if (!started) {
            std::string restrictedWhy;
            window.reset(StartRestricted(exe, base + L" restricted", &server.WindowPid, &restrictedWhy));
            if (!window) why = why.empty() ? restrictedWhy : why + "; " + restrictedWhy;
            started = static_cast<bool>(window);
        }
        if (started) why.clear();
    }
    if (!why.empty() || pipe.empty()) {
        const std::string text =
            "This utility was started with administrator rights, and it could not start its window without them (" +
            why +
            "). It does not download or open anything with administrator rights.\n\nClose this message, then "
            "start the utility again by double-clicking it, not with \"Run as administrator\".";
        MessageBoxA(nullptr, text.c_str(), kApplicationTitle, MB_OK | MB_ICONWARNING);
        return 1;
    }
    const int code = RunElevatedStep(pipe, pin, server);
    if (window && WaitForSingleObject(window.get(), INFINITE) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        if (GetExitCodeProcess(window.get(), &exitCode)) return static_cast<int>(exitCode);
    }
    return code;
}

void AttachElevatedStep(const TWindowStart& start) {
    TAttached& a = Attached();
    a.Attached = true;
    a.Rights = start.ThroughShell ? "with the desktop user's own rights" : "without administrator rights";
    if (start.ThroughShell) TakeTestEnvironment(start.StepPid);
    HANDLE step = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, start.StepPid);
    if (!step) {
        a.Failure = "the administrator part that started this window is gone (" + SysErrorMessage(GetLastError()) + ")";
        return;
    }
    TKernelHandle held(step);
    // The "start" hands over the step that is already running; used by
    // Open below only, while held is open.
    auto channel = std::make_unique<TStepChannel>(
        nullptr, [step](const std::wstring&, const std::wstring&, DWORD* error) -> HANDLE {
            HANDLE copy = nullptr;
            if (!DuplicateHandle(GetCurrentProcess(), step, GetCurrentProcess(), &copy, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS))
                *error = GetLastError();
            return copy;
        });
    try {
        channel->Open(20000, start.Pipe);
        a.Channel = std::move(channel);
    } catch (const std::exception& e) {
        a.Failure = e.what();
    }
}

std::unique_ptr<TStepChannel> TakeAttachedStep(std::string* why) {
    TAttached& a = Attached();
    why->clear();
    if (!a.Attached) return nullptr;
    if (!a.Channel) *why = a.Failure.empty() ? "the administrator part has already ended" : a.Failure;
    a.Failure.clear();
    return std::move(a.Channel);
}

std::string WindowRightsText() { return Attached().Rights; }

void ReleaseAttachedStep() {
    TAttached& a = Attached();
    if (a.Channel) a.Channel->Close();
    a.Channel.reset();
}
