#pragma once
// The run's services on Windows: the process checks, the installation
// locator, engine identification, version resources, the settings file, the
// web reader, the update list, the module download, the file copy and the
// shell. Also the one call that plugs the run into the main window.
#include <windows.h>

#include <memory>
#include <random>
#include <string>

#include "app/DownloadStirpelloForm_win32.h"
#include "app/ElevatedWrites_win32.h"
#include "app/FailsafeRun.h"
#include "app/RunServices.h"

class TRealServices : public IRunServices {
public:
    // The form owns the run log and is the owner of every box and the launch;
    // it must outlive the services.
    explicit TRealServices(TDownloadStirpelloForm& form, const TSiteConfig& sites = TSiteConfig::Get());

    TProcessQuery FindProcesses(const std::string& exeName) override;
    TModuleQuery FindLoadedModules(const std::string& libraryName) override;
    std::string LocateInstallation() override;
    TEngineInfo IdentifyEngine(const std::string& directory, const std::string& engineName) override;
    bool RunsElevated() override;
    std::string WindowRights() override;
    TrsFileVersion OwnVersion() override;
    TrsFileVersion ReadVersion(const std::string& path) override;
    bool FileExists(const std::string& path) override;
    std::string IniRead(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& def) override;
    void IniDelete(const std::string& path, const std::string& section, const std::string& key) override;
    void IniWrite(const std::string& path, const std::string& section, const std::string& key,
                  const std::string& value) override;
    std::string VirtualSettingsCopy(const std::string& path) override;
    TWebResult WebRead(const std::string& url, const std::string& proxyServer, int32_t proxyPort,
                       int timeoutMs, TWebMode mode) override;
    std::unique_ptr<IUpdateList> NewUpdateList() override;
    TDownloadOutcome DownloadUpdateModule(const std::string& directory, std::string& modulePath,
                                          const std::string& proxyServer, int32_t proxyPort) override;
    TFolderSafety CheckProgramFolder(const std::string& dir) override;
    TStepOutcome ElevatedWrite(TStepWrite what, const std::string& dir, const std::string& source) override;
    std::string LogFolder(const std::string& dir, TFolderVerdict verdict) override;
    bool CopyFile(const std::string& source, const std::string& target) override;
    TLaunchResult LaunchModule(const std::string& path, const std::string& folder, bool mustBeGenuine,
                               bool folderOpen) override;
    std::string NowText() override;
    void Randomize() override;
    int32_t Random(int32_t bound) override;

private:
    // The digest the module must have: the environment's in test builds,
    // else the one compiled in.
    std::string ModuleSha256() const;

    // Whether the user may create files in dir's Download folder (or create
    // that folder), with the user's own rights.
    bool UserMayDownloadIn(const std::string& dir);

    TDownloadStirpelloForm& form_;
    TSiteConfig sites_;
    std::mt19937 random_;
    TFolderVerdict verdict_ = TFolderVerdict::UserCan;
    std::unique_ptr<TElevatedWrites> elevated_;
};

// The services and the run for one main window; Button1 runs it.
class TFailsafeApp {
public:
    explicit TFailsafeApp(TDownloadStirpelloForm& form);
    TFailsafeApp(const TFailsafeApp&) = delete;
    TFailsafeApp& operator=(const TFailsafeApp&) = delete;

    TFailsafeRun& Run() { return run_; }

private:
    TRealServices services_;
    TFailsafeRun run_;
};
