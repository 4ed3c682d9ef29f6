#include "app/Locator.h"

#include <windows.h>
#include <commdlg.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>

#include "app/LocatorUI_win32.h"
#include "app/QuietWait_win32.h"
#include "fileutil/Errors.h"
#include "fileutil/Handles_win32.h"
#include "fileutil/PathText.h"
#include "fileutil/SystemDll_win32.h"

namespace {

const char kProductKey[] = "Software\\corvannaSystems\\Stirpello";
const char kProductValue[] = "InstallPath";
const char kInstallerKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Stirpello_is1";
const char kInstallerValue[] = "Inno Setup: App Path";
const char kEngineName[] = "SPEngine.exe";

std::string WithSlash(const std::string& dir) {
    if (dir.empty() || EndsWithBackslash(dir)) return dir;
    return dir + "\\";
}

bool FileExists(const std::string& path) {
    DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

// Up to and including the last backslash or drive colon.
size_t NameStart(const std::string& path) {
    size_t p = LastSeparator(path, "\\:");
    return p == std::string::npos ? 0 : p + 1;
}

std::string ExtractFileExt(const std::string& name) {
    size_t dot = LastSeparator(name, ".\\:");
    if (dot == std::string::npos || name[dot] != '.') return std::string();
    return name.substr(dot);
}

// A string value of an HKEY_LOCAL_MACHINE key, as a folder with a trailing
// backslash; "" when the key does not open or the value is missing or
// empty. Read access only: a user is never given more on HKLM. The 32-bit view: the product and its
// installer are 32-bit and write there, whichever build reads them.
std::string ReadRegistryDir(const char* keyName, const char* valueName) {
    TRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                      key.out()) != ERROR_SUCCESS)
        return std::string();
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::string();
    // An expandable string is taken as it stands, unexpanded.
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        throw EError(std::string("Invalid data type for '") + valueName + "'");
    std::string data(size + 1, '\0');
    DWORD got = size;
    if (RegQueryValueExA(key.get(), valueName, nullptr, &type,
                         reinterpret_cast<BYTE*>(&data[0]), &got) != ERROR_SUCCESS)
        return std::string();
    data.resize(std::min<size_t>(got, data.size()));
    size_t nul = data.find('\0');
    if (nul != std::string::npos) data.resize(nul);
    return WithSlash(data);
}

// Releases a COM interface on every path out.
template <class T>
class TComPtr {
public:
    TComPtr() = default;
    ~TComPtr() {
        if (p_) p_->Release();
    }
    TComPtr(const TComPtr&) = delete;
    TComPtr& operator=(const TComPtr&) = delete;
    T* operator->() const { return p_; }
    T** out() { return &p_; }
    void** outVoid() { return reinterpret_cast<void**>(&p_); }

private:
    T* p_ = nullptr;
};

void CheckLinkCall(HRESULT hr) {
    if (FAILED(hr)) throw EOSError(SysErrorMessage(static_cast<unsigned long>(hr)),
                                   static_cast<unsigned long>(hr));
}

std::wstring Widen(const std::string& text) {
    int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &w[0], n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

// A shell folder's path; "" when the system has no such folder.
std::string SpecialFolder(int csidl) {
    static const auto getFolderLocation = SystemDllFunction<decltype(&SHGetSpecialFolderLocation)>(
        "shell32.dll", "SHGetSpecialFolderLocation");
    static const auto getPathFromIDList =
        SystemDllFunction<decltype(&SHGetPathFromIDListA)>("shell32.dll", "SHGetPathFromIDListA");
    char path[MAX_PATH + 1] = {};
    LPITEMIDLIST pidl = nullptr;
    if (FAILED(getFolderLocation(nullptr, csidl, &pidl)) || !pidl) return std::string();
    BOOL got = getPathFromIDList(pidl, path);
    CoTaskMemFreeLate(pidl);
    return got ? std::string(path) : std::string();
}

}  // namespace

// One desktop folder's shortcuts, added to the list and counted in the log by countLine;
// result takes the first one's folder with an engine when it is still empty.
void TInstallationLocator::SearchDesktop(int csidl, TRunMsg countLine, std::string& result) {
    try {
        size_t first = engines_.size();
        std::string desktop = SpecialFolder(csidl);
        // An empty root would search the current drive's root folder instead.
        if (desktop.empty()) throw EError("no such folder on this system");
        // A broken link can take seconds to resolve: the window goes on
        // painting and answering meanwhile.
        RunWhileWindowWaits([&] {
            TFileFinder finder;
            finder.RootDir = desktop;
            finder.Mask = "*stirpello*.*";
            finder.Recursive = false;
            finder.OnFound = [this](const std::string& folder, const TSearchRec& entry) {
                ShortcutFound(folder, entry);
            };
            finder.Execute();
        });
        log_.Add(countLine, {std::to_string(engines_.size() - first)});
        int number = 1;
        for (size_t i = first; i < engines_.size(); ++i) {
            const auto& engine = engines_[i];
            log_.Add(TRunMsg::Shortcut, {std::to_string(number++), engine->Describe()});
            if (result.empty() && !engine->EnginePath.empty()) result = engine->Directory;
        }
    } catch (const std::exception& e) {
        log_.Add(TRunMsg::ShortcutsError, {e.what()});
    }
}

std::string TInstallationLocator::LocateInstallation() {
    std::string result = ReadRegistryDir(kProductKey, kProductValue);
    std::string installer = ReadRegistryDir(kInstallerKey, kInstallerValue);
    log_.Add(TRunMsg::ProductRegistryDir, {result});
    log_.Add(TRunMsg::InstallerRegistryDir, {installer});
    if (result.empty()) {
        result = installer;
    } else if (!installer.empty() && result != installer) {
        // Exact comparison: a difference in letter case counts too.
        log_.Add(TRunMsg::MultipleInstalls);
        ui_.ShowMessage(
            "It appears you may have multiple copies of Stirpello installed - pay close attention "
            "to the Stirpello program folder name as you proceed");
    }
    if (result.empty())
        log_.Add(TRunMsg::NoRegistryInstall);
    else
        log_.Add(TRunMsg::RegistryInstall, {result});

    // The desktop is searched also when the registry answered, so that its
    // shortcuts reach the log. Installers run as administrator put theirs on
    // the shared desktop, searched when the user's own gives no folder.
    engines_.clear();
    SearchDesktop(CSIDL_DESKTOPDIRECTORY, TRunMsg::ShortcutCount, result);
    if (result.empty()) SearchDesktop(CSIDL_COMMON_DESKTOPDIRECTORY, TRunMsg::SharedShortcutCount, result);

    if (!result.empty()) return result;
    result = DefaultFolder;
    if (FileExists(result + kEngineName)) return result;
    // A 32-bit installation on 64-bit Windows lands in the (x86) folder.
    std::string x86;
    try {
        x86 = SpecialFolder(CSIDL_PROGRAM_FILESX86);
    } catch (const std::exception&) {
    }
    if (!x86.empty()) {
        std::string folder = WithSlash(x86) + "Stirpello\\";
        if (FileExists(folder + kEngineName)) {
            log_.Add(TRunMsg::X86Install, {folder});
            return folder;
        }
    }
    log_.Add(TRunMsg::NotInDefaultFolder);
    ui_.ShowMessage("Stirpello is not installed in it's default location - press OK to find it for us");

    try {
        TOpenDialogSetup setup;
        setup.Filter = "Program Files (*.exe)|*.exe";
        setup.FilterIndex = 1;
        setup.FileName = kEngineName;
        setup.Options = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST;
        setup.Ctl3D = !(ui_.IsMajor4MinorBelow10() || ui_.IsMajor4Minor10OrMore());
        std::string chosen;
        // Any file will do; only its folder is taken.
        if (ui_.ExecuteOpenDialog(setup, chosen) && FileExists(chosen)) {
            std::string folder = chosen.substr(0, NameStart(chosen));
            if (!folder.empty()) result = WithSlash(folder);
        }
    } catch (...) {
        ui_.ShowMessage("Error opening file find dialog");
    }
    log_.Add(TRunMsg::ManualFind, {result});
    return result;
}

std::string TInstallationLocator::ResolveShortcut(const std::string& linkPath) {
    TComPtr<IShellLinkA> link;
    CheckLinkCall(CoCreateInstanceLate(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   link.outVoid()));
    TComPtr<IPersistFile> file;
    CheckLinkCall(link->QueryInterface(IID_IPersistFile, file.outVoid()));
    CheckLinkCall(file->Load(Widen(linkPath).c_str(), STGM_READ));
    // Under Wine Resolve does not notice a missing target and answers S_OK.
    CheckLinkCall(link->Resolve(nullptr, SLR_NO_UI | SLR_ANY_MATCH));
    char target[260] = {};
    CheckLinkCall(link->GetPath(target, sizeof target, nullptr, SLGP_UNCPRIORITY));
    target[sizeof target - 1] = '\0';
    return target;
}

void TInstallationLocator::ShortcutFound(const std::string& folder, const TSearchRec& entry) {
    // Exactly ".lnk": the mask also lets through other files, and ".LNK".
    if (ExtractFileExt(entry.Name) != ".lnk") return;
    std::string target = ResolveShortcut(folder + "\\" + entry.Name);
    size_t split = NameStart(target);
    engines_.push_back(
        std::make_unique<TStirpelloEngine>(target.substr(0, split), target.substr(split)));
}

void TWin32LocatorUI::ShowMessage(const std::string& text) {
    MessageBoxA(owner_, text.c_str(), title_.c_str(), MB_OK);
}

bool TWin32LocatorUI::ExecuteOpenDialog(const TOpenDialogSetup& setup, std::string& fileName) {
    // "description|pattern|..." becomes NUL-separated pairs ending in two NULs.
    std::string filter = setup.Filter;
    for (char& c : filter)
        if (c == '|') c = '\0';
    filter.append(2, '\0');
    std::string buffer = setup.FileName;
    buffer.resize(std::max<size_t>(buffer.size() + 1, 32768), '\0');

    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner_;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = static_cast<DWORD>(setup.FilterIndex);
    ofn.lpstrFile = &buffer[0];
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    // Ctl3D has no flag of its own: the dialogs of Windows 98/NT 5 and later
    // are always drawn in 3-D.
    ofn.Flags = setup.Options;
    static const auto getOpenFileName =
        SystemDllFunction<decltype(&GetOpenFileNameA)>("comdlg32.dll", "GetOpenFileNameA");
    static const auto extendedError =
        SystemDllFunction<decltype(&CommDlgExtendedError)>("comdlg32.dll", "CommDlgExtendedError");
    if (getOpenFileName(&ofn)) {
        fileName = buffer.c_str();
        return true;
    }
    DWORD error = extendedError();
    if (error == 0) return false;  // cancelled
    throw EOSError("File dialog error " + std::to_string(error), error);
}

namespace {
bool Version4(bool minorBelow10) {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info) || info.dwMajorVersion != 4) return false;
    return minorBelow10 ? info.dwMinorVersion < 10 : info.dwMinorVersion >= 10;
}
}  // namespace

bool TWin32LocatorUI::IsMajor4MinorBelow10() { return Version4(true); }
bool TWin32LocatorUI::IsMajor4Minor10OrMore() { return Version4(false); }
