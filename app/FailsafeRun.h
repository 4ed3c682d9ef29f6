#pragma once
// The failsafe update run that the main window's button starts: checks for
// running programs, locates and identifies the installation, inspects the
// update module and the settings file, tests internet access, reads the update
// catalogue, downloads and puts in place a current update module, marks the
// settings file and launches the module. The window owns one object and calls
// Button1Click on each press.
#include <cstdint>
#include <string>
#include <vector>

#include "app/RunServices.h"
#include "app/RunView.h"
#include "app/SiteConfig.h"

// The values one run carries from step to step.
struct TRunState {
    std::string ProgramDirectory;
    TEngineInfo Engine;
    std::string ErrorTrail;
    bool NeedsNewModule = true;
    std::string CurrentModulePath;
    std::string SettingsPath;
    std::string VirtualSettingsPath;  // the copy the product reads instead; "" when none
    bool NotifyForAnyUpdate = true;
    std::string ProxyServer;
    int32_t ProxyPort = 0;
    bool Connected = false;
    bool WantsUpdate = true;
    bool Replaced = false;
    std::string LaunchPath;
    // Ordinary users can change the program folder.
    bool FolderOpen = false;
    // Who can change it; AdminOnly sends its writes through the elevated step.
    TFolderVerdict Verdict = TFolderVerdict::UserCan;
    // The user may write the program folder's settings file directly.
    bool SettingsByUser = false;
    // The elevated step did a write in this run, so it is there to launch.
    bool StepUsed = false;
};

// How a run ended.
enum class TRunEnd {
    NotRun,          // a run was already in progress; the press was ignored
    ClosedRunning,   // a running program was found; the window was closed
    ClosedNoEngine,  // no engine in the program directory; the window was closed
    DownloadFailed,  // cross on step 2; the window stays open
    ReplaceFailed,   // cross on step 3; the window stays open
    Launched,        // the update module was started and the window closed
    LaunchFailed,    // the update module was not started; the window stays open
    WindowClosed,    // the user closed the window during the run; it stopped there
    FolderUnsafe,    // only others than the user and administrators can change the folder
};

class TFailsafeRun {
public:
    // view and services must outlive the run object.
    TFailsafeRun(IRunView& view, IRunServices& services,
                 const TSiteConfig& sites = TSiteConfig::Get());

    // The button handler: runs Execute and shows an error that the run leaves
    // unhandled (from locating or identifying the installation, or the
    // download) in the application's error box. Never throws.
    void Button1Click();

    // One run, steps 1 to 11. A press while a run is in progress (the run
    // processes messages while it waits) is ignored. When the window closes
    // under the run, the run stops at the next point where it regains control,
    // before any further change to the settings file, the module or the
    // launch. Throws what the guarded steps do not catch, and EError before
    // anything is done when the sites' module digest is malformed.
    TRunEnd Execute();

    const TRunState& State() const { return state_; }

    // "dir" + name, or "dir\" + name when dir does not end with a backslash.
    static std::string PathIn(const std::string& directory, const std::string& name);
    // The catalogue request address.
    static std::string CatalogueAddress(const TSiteConfig& sites, const TrsFileVersion& engine,
                                        int32_t random, const std::string& errorTrail);
    // A decimal integer as the settings file holds it; def when it is not one.
    static int32_t StrToIntDef(const std::string& text, int32_t def);

private:
    void Start();
    bool CheckRunningPrograms();
    bool LocateAndIdentify();
    bool InspectUpdateModule();
    void InspectSettings();
    void TestInternet();
    void AnalyzeUpdates();
    bool DownloadModule();
    bool ReplaceModule();
    void MarkSettings();
    bool Launch();
    // The settings file's copies that exist: the one in the program directory
    // and the VirtualStore copy.
    std::vector<std::string> SettingsCopies();
    // Writes to every copy whose value differs; throws the first failure
    // after trying them all. The program folder's own copy goes through the
    // elevated step (as step) where only administrators can change it.
    void WriteSettings(const std::string& section, const std::string& key, const std::string& value,
                       TStepWrite step);
    // Whether the program folder's own files are written through the step.
    bool Elevated() const { return state_.Verdict == TFolderVerdict::AdminOnly; }
    bool SettingsElevated() const { return Elevated() && !state_.SettingsByUser; }
    // One write through the elevated step; false (logged) when it was not made.
    bool StepWrite(TStepWrite what, const std::string& action, const std::string& source = std::string());

    // The view's calls that process messages, each followed by the check.
    void Progress(const std::string& text);
    void Mark(int step, TStepMark mark);
    void Pump();
    void Message(const std::string& text);
    // Ends the run (caught by Execute) once the window has closed.
    void StopIfClosed() const;
    void Log(TRunMsg message, std::initializer_list<std::string> args = {}) {
        view_.Log().Add(message, args);
    }

    IRunView& view_;
    IRunServices& services_;
    TSiteConfig sites_;
    TRunState state_;
    // Edit1 keeps the directory of the last run that got through identification.
    std::string shownDirectory_;
    bool running_ = false;
};
