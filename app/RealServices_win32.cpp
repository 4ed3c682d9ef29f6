#include "app/RealServices_win32.h"

#include <windows.h>
#include <shellapi.h>

#include <chrono>

#include "app/FolderSafety_win32.h"
#include "app/ModuleDownload_win32.h"
#include "app/ModuleTrust_win32.h"
#include "app/Processes.h"
#include "app/QuietWait_win32.h"
#include "app/StirpelloEngine.h"
#include "app/Settings.h"
#include "fileutil/Errors.h"
#include "fileutil/FileHelpers.h"
#include "fileutil/SystemDll_win32.h"
#include "web/WebRead.h"

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

bool TRealServices::DownloadUpdateModule(const std::string& directory, std::string& modulePath,
                                         const std::string& proxyServer, int32_t proxyPort) {
    TModuleDownloadContext context{form_.Log(),
                                   [this](const std::string& text) { form_.ShowMessage(text); },
                                   sites_.MirrorUrl(),
                                   sites_.FallbackUrl(),
                                   form_.Handle(),
                                   {},
                                   sites_.ModuleSha256,
                                   {}};
    return ::DownloadUpdateModule(context, directory, modulePath, proxyServer, proxyPort);
}

TFolderSafety TRealServices::CheckProgramFolder(const std::string& dir) { return ::CheckProgramFolder(dir); }

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
