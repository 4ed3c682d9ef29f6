#include "app/RealServices_win32.h"

#include <windows.h>
#include <shellapi.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "app/ElevatedStart_win32.h"
#include "elevate/FolderSafety_win32.h"
#include "app/ModuleDownload_win32.h"
#include "app/ModuleTrust_win32.h"
#include "app/Processes.h"
#include "app/QuietWait_win32.h"
#include "app/StirpelloEngine.h"
#include "app/Settings.h"
#include "fileutil/Errors.h"
#include "fileutil/FileHelpers.h"
#include "fileutil/PathText.h"
#include "fileutil/SystemDll_win32.h"
#include "web/WebRead.h"

namespace {

std::string Slashed(const std::string& dir) { return EndsWithBackslash(dir) ? dir : dir + "\\"; }

}  // namespace

TRealServices::TRealServices(TDownloadStirpelloForm& form, const TSiteConfig& sites)
    : form_(form), sites_(sites) {}

TProcessQuery TRealServices::FindProcesses(const std::string& exeName) {
    TProcessList list = ::FindProcesses(exeName);
    TProcessQuery q;
    q.Count = list.Count();
    if (q.Count > 0) q.FirstPath = list.Items(0).ExePath;
    return q;
}

TModuleQuery TRealServices::FindLoadedModules(const std::string& libraryName) {
    TModuleList list = ::FindLoadedModules(libraryName);
    TModuleQuery q;
    q.Count = list.Count();
    if (q.Count > 0) q.FirstHandle = list.Items(0).ModuleHandle;
    return q;
}

std::string TRealServices::LocateInstallation() {
    return form_.LocateInstallation();
}

TEngineInfo TRealServices::IdentifyEngine(const std::string& directory, const std::string& engineName) {
    TStirpelloEngine engine(directory, engineName);
    TEngineInfo info;
    info.Valid = engine.Valid;
    if (engine.Version) info.Version = *engine.Version;
    return info;
}

bool TRealServices::RunsElevated() { return ProcessIsElevated(); }
std::string TRealServices::WindowRights() { return WindowRightsText(); }

TrsFileVersion TRealServices::OwnVersion() {
    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    TrsFileVersion v;
    if (n > 0 && n < MAX_PATH) v.ReadFromFile(std::string(path, n));
    return v;
}

TrsFileVersion TRealServices::ReadVersion(const std::string& path) {
    TrsFileVersion v;
    v.ReadFromFile(path);
    return v;
}

bool TRealServices::FileExists(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string TRealServices::IniRead(const std::string& path, const std::string& section,
                                   const std::string& key, const std::string& def) {
    return TSettingsFile(path).ReadString(section, key, def);
}

void TRealServices::IniDelete(const std::string& path, const std::string& section, const std::string& key) {
    TSettingsFile(path).DeleteKey(section, key);
}

void TRealServices::IniWrite(const std::string& path, const std::string& section, const std::string& key,
                             const std::string& value) {
    TSettingsFile(path).WriteString(section, key, value);
}

std::string TRealServices::VirtualSettingsCopy(const std::string& path) {
    try {
        return FindVirtualStoreCopy(path, SignedInUserLocalAppData());
    } catch (const EOSError&) {
        return std::string();  // no shell to ask: no copy to find
    }
}

TWebResult TRealServices::WebRead(const std::string& url, const std::string& proxyServer,
                                  int32_t proxyPort, int timeoutMs, TWebMode mode) {
    // Thrown out of the wait's pump once the main window has closed: the
    // program should end now, not when the time-out is up. The reader aborts
    // its worker as it goes.
    struct TWindowGone {};
    TWebRead reader(url, timeoutMs, proxyPort, proxyServer);
    TWebResult result;
    if (mode == TWebMode::Direct) {
        // No input is taken during a direct read, but the window still paints
        // and answers, so that Windows never offers to end it as hung.
        RunWhileWindowWaits([&] { reader.Fetch(result.Content, result.Success, false); });
        if (form_.IsClosed()) return TWebResult();
        return result;
    }
    try {
        reader.Fetch(result.Content, result.Success, mode == TWebMode::Waiting, [this] {
            ::ProcessMessages();
            if (form_.IsClosed()) throw TWindowGone();
        });
    } catch (const TWindowGone&) {
        return TWebResult();
    }
    return result;
}

std::unique_ptr<IUpdateList> TRealServices::NewUpdateList() { return NewCatalogueList(); }

bool TRealServices::UserMayDownloadIn(const std::string& dir) {
    std::string why;
    std::unique_ptr<THeldFolder> held = THeldFolder::Open(dir, &why);
    if (!held) return false;
    // An earlier release made Download\ for administrators only; a link
    // there is not held and so not used.
    const DWORD attributes = GetFileAttributesA((Slashed(dir) + DownloadFolderName).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return UserMay(*held, L"", FILE_ADD_SUBDIRECTORY);
    std::unique_ptr<THeldFolder> folder = THeldFolder::Open(Slashed(dir) + DownloadFolderName, &why);
    return folder && UserMay(*folder, L"", FILE_ADD_FILE | FILE_DELETE_CHILD);
}

TDownloadOutcome TRealServices::DownloadUpdateModule(const std::string& directory, std::string& modulePath,
                                                     const std::string& proxyServer, int32_t proxyPort) {
    TModuleDownloadContext context{form_.Log(),
                                   [this](const std::string& text) { form_.ShowMessage(text); },
                                   sites_.MirrorUrl(),
                                   sites_.FallbackUrl(),
                                   form_.Handle(),
                                   {},
                                   sites_.ModuleSha256,
                                   {},
                                   true};
    // The program folder's Download\ where the user may write it; else the
    // user's own folder, where later runs resume too.
    std::string base = directory;
    if (verdict_ != TFolderVerdict::UserCan || !UserMayDownloadIn(directory)) {
        const std::string own = UserUpdateFolder();
        if (!own.empty()) {
            base = own;
            form_.Log().Add(TRunMsg::UserDownloadFolder, {Slashed(own) + DownloadFolderName + "\\"});
        }
    }
    TDownloadOutcome outcome;
    outcome.Ok = ::DownloadUpdateModule(context, base, modulePath, proxyServer, proxyPort, &outcome.Explained);
    return outcome;
}

TFolderSafety TRealServices::CheckProgramFolder(const std::string& dir) {
    TFolderSafety safety = ::CheckProgramFolder(dir);
    verdict_ = safety.Verdict;
    if (safety.Verdict == TFolderVerdict::AdminOnly) {
        std::string why;
        std::unique_ptr<THeldFolder> held = THeldFolder::Open(dir, &why);
        safety.SettingsByUser = held && UserMay(*held, L"Stirpello.ini", FILE_WRITE_DATA);
    }
    return safety;
}

TStepOutcome TRealServices::ElevatedWrite(TStepWrite what, const std::string& dir, const std::string& source) {
    if (!elevated_) {
        TStepChannel::TStarter starter;
#ifdef STIRPELLO_TEST_OVERRIDES
        // Wine shows no prompt, so a test says how it would be answered.
        const char* answer = std::getenv("STIRPELLO_TEST_ELEVATION");
        if (answer && std::string(answer) == "declined")
            starter = [](const std::wstring&, const std::wstring&, DWORD* error) -> HANDLE {
                *error = ERROR_CANCELLED;
                return nullptr;
            };
#endif
        elevated_ = std::make_unique<TElevatedWrites>(
            form_.Log(), [this](const std::string& text) { form_.ShowMessage(text); }, form_.Handle(), starter);
    }
    return elevated_->Write(what, dir, source);
}

std::string TRealServices::LogFolder(const std::string& dir, TFolderVerdict verdict) {
    if (verdict == TFolderVerdict::UserCan) {
        std::string why;
        std::unique_ptr<THeldFolder> held = THeldFolder::Open(dir, &why);
        const std::wstring leaf(kLogFileName, kLogFileName + strlen(kLogFileName));
        const bool exists = GetFileAttributesA((Slashed(dir) + kLogFileName).c_str()) != INVALID_FILE_ATTRIBUTES;
        if (held && (exists ? UserMay(*held, leaf, FILE_WRITE_DATA) : UserMay(*held, L"", FILE_ADD_FILE)))
            return dir;
    }
    const std::string own = UserUpdateFolder();
    return own.empty() ? dir : own;
}

std::string TRealServices::ModuleSha256() const {
    return sites_.ModuleSha256.empty() ? std::string(UpdateModuleSha256) : sites_.ModuleSha256;
}

bool TRealServices::CopyFile(const std::string& source, const std::string& target) {
    std::string refused = InstallModule(source, target, ModuleSha256(),
                                        [this](const std::string& line) { form_.Log().AddNote(line); });
    if (!refused.empty()) throw EError(refused);
    return true;
}

TLaunchResult TRealServices::LaunchModule(const std::string& path, const std::string& folder,
                                          bool mustBeGenuine, bool folderOpen) {
    return ::LaunchModule(path, folder, ModuleSha256(), mustBeGenuine, folderOpen);
}

std::string TRealServices::NowText() {
    char date[128] = {}, time[128] = {};
    GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, sizeof date);
    GetTimeFormatA(LOCALE_USER_DEFAULT, 0, nullptr, nullptr, time, sizeof time);
    return std::string(date) + " " + time;
}

void TRealServices::Randomize() {
    random_.seed(static_cast<std::mt19937::result_type>(
        std::chrono::system_clock::now().time_since_epoch().count()));
}

int32_t TRealServices::Random(int32_t bound) {
    return std::uniform_int_distribution<int32_t>(0, bound - 1)(random_);
}

TFailsafeApp::TFailsafeApp(TDownloadStirpelloForm& form) : services_(form), run_(form, services_) {
    form.SetRunHandler([this](TDownloadStirpelloForm&) { run_.Button1Click(); });
}
