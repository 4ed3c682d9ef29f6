#include "app/FailsafeRun.h"

#include <cctype>
#include <climits>
#include <exception>
#include <memory>

#include "fileutil/Errors.h"
#include "fileutil/PathText.h"

namespace {

const char* const kModuleName = "Stirpello.exe";
const char* const kSettingsName = "Stirpello.ini";
const char* const kEngineName = "SPEngine.exe";
const char* const kInternet = "Internet Connection";
const int kWebTimeOut = 7000;
// An update module above this version number is current.
const int32_t kCurrentModule = 14000;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Thrown when the window has closed under the run; Execute ends the run
// quietly. Not an std::exception, so no step's handler takes it for an error.
struct TRunStopped {};

// Clears the in-progress flag however the run ends.
class TRunningFlag {
public:
    explicit TRunningFlag(bool& flag) : flag_(flag) { flag_ = true; }
    ~TRunningFlag() { flag_ = false; }
    TRunningFlag(const TRunningFlag&) = delete;
    TRunningFlag& operator=(const TRunningFlag&) = delete;

private:
    bool& flag_;
};

// Restores the normal cursor however a network wait ends.
class TBusyCursor {
public:
    explicit TBusyCursor(IRunView& view) : view_(view) { view_.SetBusyCursor(true); }
    ~TBusyCursor() { view_.SetBusyCursor(false); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;

private:
    IRunView& view_;
};

}  // namespace

TFailsafeRun::TFailsafeRun(IRunView& view, IRunServices& services, const TSiteConfig& sites)
    : view_(view), services_(services), sites_(sites) {}

std::string TFailsafeRun::PathIn(const std::string& directory, const std::string& name) {
    if (EndsWithBackslash(directory)) return directory + name;
    return directory + "\\" + name;
}

std::string TFailsafeRun::CatalogueAddress(const TSiteConfig& sites, const TrsFileVersion& engine,
                                           int32_t random, const std::string& errorTrail) {
    return sites.UpdateBase() + "SP" + engine.ShortDigits() + ".UPD?from=utility&random=" +
           std::to_string(random) + "&updating=" + engine.FullDigits() + "&err=" + errorTrail;
}

int32_t TFailsafeRun::StrToIntDef(const std::string& text, int32_t def) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return def;
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return def;
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1) return def;
    }
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return def;
    return static_cast<int32_t>(value);
}

void TFailsafeRun::Button1Click() {
    try {
        Execute();
    } catch (const std::exception& e) {
        // A box without its window would only outlive the program's end.
        if (!view_.IsClosed()) view_.ShowError(e.what());
    }
}

void TFailsafeRun::StopIfClosed() const {
    if (view_.IsClosed()) throw TRunStopped();
}

void TFailsafeRun::Progress(const std::string& text) {
    view_.SetProgress(text);
    StopIfClosed();
}

void TFailsafeRun::Mark(int step, TStepMark mark) {
    view_.SetMark(step, mark);
    StopIfClosed();
}

void TFailsafeRun::Pump() {
    view_.ProcessMessages();
    StopIfClosed();
}

void TFailsafeRun::Message(const std::string& text) {
    view_.ShowMessage(text);
    StopIfClosed();
}

TRunEnd TFailsafeRun::Execute() {
    // The run processes messages while it waits, so the button can be pressed
    // again inside it; a nested run would share and reset this run's state.
    if (running_) return TRunEnd::NotRun;
    TRunningFlag flag(running_);
    // Refused before anything is touched: a digest nobody meant would refuse
    // the genuine module, or accept another one.
    if (!sites_.ModuleSha256Valid())
        throw EError("The update module's SHA-256 given in the environment is not 64 hexadecimal digits");

    try {
        Start();
        if (!CheckRunningPrograms()) return TRunEnd::ClosedRunning;
        if (!LocateAndIdentify()) return TRunEnd::ClosedNoEngine;
        if (!InspectUpdateModule()) return TRunEnd::FolderUnsafe;
        InspectSettings();
        TestInternet();
        AnalyzeUpdates();
        if (!DownloadModule()) return TRunEnd::DownloadFailed;
        if (!ReplaceModule()) return TRunEnd::ReplaceFailed;
        MarkSettings();
        return Launch() ? TRunEnd::Launched : TRunEnd::LaunchFailed;
    } catch (const TRunStopped&) {
        // The close handling has already put the log out; lines after it
        // would be lost, so the run adds none.
        return TRunEnd::WindowClosed;
    }
}

// Step 1: reset the run and the window, log the utility's version and the time.
void TFailsafeRun::Start() {
    state_ = TRunState();
    view_.ShowDirectory(shownDirectory_);
    for (int step = 1; step <= 4; ++step) Mark(step, TStepMark::Hidden);
    Mark(1, TStepMark::Arrow);
    Pump();
    try {
        TrsFileVersion own = services_.OwnVersion();
        Log(TRunMsg::UtilityVersion, {own.DottedText()});
        state_.ErrorTrail += std::to_string(own.VersionNumber());
        Log(TRunMsg::CurrentTime, {services_.NowText()});
        const std::string rights = services_.WindowRights();
        if (!rights.empty())
            Log(TRunMsg::WindowWithoutRights, {rights});
        else if (services_.RunsElevated())
            Log(TRunMsg::StartedElevated);
    } catch (const std::exception&) {
        // Only the log's header is lost; the run itself does not depend on it.
    }
}

// Step 2: false when a running program closed the window.
bool TFailsafeRun::CheckRunningPrograms() {
    Progress("Progress - Currently verifying Stirpello is not running...");
    struct TCheck {
        const char* exe;
        const char* message;
        TRunMsg line;
    };
    static const TCheck checks[] = {
        {"Stirpello.exe", "Stirpello is running... close Stirpello (or reboot) and rerun this utility",
         TRunMsg::ProductRunning},
        {"SPEngine.exe", "Stirpello is running... close Stirpello (or reboot) and rerun this utility",
         TRunMsg::ProgramRunning},
        {"TMG.exe", "TMG is running... close it (or reboot) and rerun this utility", TRunMsg::ProgramRunning},
        {"RootsMagic.exe", "RootsMagic is running... close it (or reboot) and rerun this utility",
         TRunMsg::ProgramRunning},
    };
    try {
        for (const TCheck& check : checks) {
            TProcessQuery found = services_.FindProcesses(check.exe);
            if (found.Count > 0) {
                Message(check.message);
                Log(check.line, {found.FirstPath});
                view_.Close();
                return false;
            }
        }
        TModuleQuery loaded = services_.FindLoadedModules("SPExec.dll");
        if (loaded.Count > 0) {
            Message(
                "The embedded Stirpello interface is active... you may proceed, but if your update "
                "isn't successful, reboot your PC and try again");
            Log(TRunMsg::EmbeddedLoaded);
            Log(TRunMsg::EmbeddedHandle, {std::to_string(loaded.FirstHandle)});
        }
    } catch (const std::exception& e) {
        Log(TRunMsg::ProcessesError, {e.what()});
    }
    return true;
}

// Step 3: false when the engine is missing and the window was closed. Errors
// of the locator and of the identification are not handled here.
bool TFailsafeRun::LocateAndIdentify() {
    Progress("Progress - Locating Stirpello on your computer...");
    state_.ProgramDirectory = services_.LocateInstallation();
    StopIfClosed();  // the locator shows boxes and the file dialog
    const std::string& dir = state_.ProgramDirectory;
    view_.SetLogDirectory(dir);
    Progress("Progress - Stirpello found... validating...");
    state_.Engine = services_.IdentifyEngine(dir, kEngineName);
    if (!state_.Engine.Valid) {
        Log(TRunMsg::NoEngine, {dir});
        Message("Unable to access SPEngine.exe in " + dir + " - terminating");
        state_.Engine = TEngineInfo();
        view_.Close();
        return false;
    }
    Log(TRunMsg::Identified, {state_.Engine.Version.DottedText(), dir});
    shownDirectory_ = dir;
    view_.ShowDirectory(dir);
    Mark(1, TStepMark::Check);
    Mark(2, TStepMark::Arrow);
    Pump();
    return true;
}

// Step 4: is the existing update module current? False when the folder may
// be changed by others but not by the user: nothing is written there then,
// and nothing started from it.
bool TFailsafeRun::InspectUpdateModule() {
    Progress("Progress - Inspecting existing update module...");
    // Who can change the folder decides how it is written and what may run from it.
    TFolderSafety safety = services_.CheckProgramFolder(state_.ProgramDirectory);
    state_.FolderOpen = safety.Open;
    state_.Verdict = safety.Verdict;
    state_.SettingsByUser = safety.SettingsByUser;
    state_.StepUsed = false;
    // The log file goes where the user may write it: never through the step.
    const std::string logFolder = services_.LogFolder(state_.ProgramDirectory, safety.Verdict);
    if (logFolder != state_.ProgramDirectory) view_.SetLogDirectory(logFolder);
    if (safety.Verdict == TFolderVerdict::OthersOnly) {
        Log(TRunMsg::FolderOthersOnly, {safety.Reason});
        Mark(2, TStepMark::Cross);
        Message("The folder " + state_.ProgramDirectory + " can be changed by " + safety.Others +
                ", but not by you. This utility will not change or start anything there. Ask an administrator "
                "to remove their write access (Properties > Security), then run this utility again.");
        return false;
    }
    // Who else can change it; the user alone needs no line.
    if (safety.Open && !safety.Others.empty()) Log(TRunMsg::FolderOpen, {safety.Reason});
    state_.NeedsNewModule = true;
    try {
        std::string path = PathIn(state_.ProgramDirectory, kModuleName);
        if (services_.FileExists(path)) {
            TrsFileVersion version = services_.ReadVersion(path);
            Log(TRunMsg::ModuleFound, {version.DottedText()});
            if (version.VersionNumber() > kCurrentModule) {
                state_.NeedsNewModule = false;
                state_.CurrentModulePath = path;
            }
        } else {
            Log(TRunMsg::ModuleMissing);
            state_.ErrorTrail += "-UMX";
        }
    } catch (const std::exception& e) {
        Log(TRunMsg::ModuleError, {e.what()});
    }
    return true;
}

// Step 5: read the settings file, deleting the keys that hold back update checks.
void TFailsafeRun::InspectSettings() {
    Progress("Progress - Inspecting existing update settings...");
    state_.SettingsPath = PathIn(state_.ProgramDirectory, kSettingsName);
    state_.NotifyForAnyUpdate = true;
    state_.ProxyPort = 0;
    state_.ProxyServer = "unspecified";
    state_.VirtualSettingsPath.clear();
    try {
        state_.VirtualSettingsPath = services_.VirtualSettingsCopy(state_.SettingsPath);
        const std::vector<std::string> copies = SettingsCopies();
        if (!state_.VirtualSettingsPath.empty())
            Log(TRunMsg::VirtualStoreSettings, {state_.VirtualSettingsPath});
        // What the product itself reads: its VirtualStore copy when there is one.
        const std::string& ini =
            state_.VirtualSettingsPath.empty() ? state_.SettingsPath : state_.VirtualSettingsPath;
        if (!copies.empty()) {
            state_.NotifyForAnyUpdate =
                Upper(services_.IniRead(ini, kInternet, "notifyForAnyUpdate", "FALSE")) == "TRUE";
            bool protectedCopyHasKeys = false;
            for (const char* key : {"CheckOnOrAfterDate", "NotifyAfterUpdateTo"}) {
                bool found = false;
                for (const auto& copy : copies) {
                    if (services_.IniRead(copy, "Updates", key, "").empty()) continue;
                    if (!found)
                        Log(std::string(key) == "CheckOnOrAfterDate" ? TRunMsg::DeletedCheckDate
                                                                     : TRunMsg::DeletedNotifyAfter);
                    found = true;
                    if (SettingsElevated() && copy == state_.SettingsPath)
                        protectedCopyHasKeys = true;
                    else
                        services_.IniDelete(copy, "Updates", key);
                }
            }
            // Both keys in one request: one elevated write, made only when
            // there is something to remove.
            if (protectedCopyHasKeys)
                StepWrite(TStepWrite::RemovePostponingKeys, "remove the postponing keys from " + state_.SettingsPath);
            if (Upper(services_.IniRead(ini, kInternet, "useProxy", "FALSE")) == "TRUE") {
                state_.ProxyPort =
                    StrToIntDef(services_.IniRead(ini, kInternet, "portNumber", "0"), 0);
                state_.ProxyServer = Upper(services_.IniRead(ini, kInternet, "proxyName", "unspecified"));
                Log(TRunMsg::ProxyUsed, {std::to_string(state_.ProxyPort), state_.ProxyServer});
            }
            if (Upper(services_.IniRead(ini, "Files", "useWorkingDirectory", "FALSE")) == "TRUE")
                Log(TRunMsg::WorkingDirectory);
        } else {
            Log(TRunMsg::IniMissing, {state_.SettingsPath});
            state_.ErrorTrail += "-INF";
        }
    } catch (const std::exception& e) {
        Log(TRunMsg::IniError, {e.what()});
        state_.ErrorTrail += "-IER";
    }
}

// Step 6: a general probe and the product site's home page.
void TFailsafeRun::TestInternet() {
    Progress("Progress - Testing internet access...");
    state_.Connected = false;
    TBusyCursor busy(view_);
    auto read = [&](const std::string& url) {
        TWebResult result = services_.WebRead(url, state_.ProxyServer, state_.ProxyPort,
                                              kWebTimeOut, TWebMode::Waiting);
        StopIfClosed();  // the wait processes messages
        return result;
    };
    try {
        TWebResult probe = read(sites_.ProbeUrl);
        if (probe.Success && !probe.Content.empty() &&
            Upper(probe.Content).find("<INPUT") != std::string::npos) {
            Log(TRunMsg::ProbeSucceeded);
            state_.ErrorTrail += "-1OK";
            state_.Connected = true;
            TWebResult home = read(sites_.HomeUrl());
            if (!(home.Success && !home.Content.empty() &&
                  Upper(home.Content).find("GENEALOGY SOFTWARE") != std::string::npos)) {
                state_.ErrorTrail += "-GDW";
                Log(TRunMsg::SiteDown, {sites_.SiteName});
                Message(sites_.SiteName +
                                  " appears to be busy or down temporarily... if your update "
                                  "attempt fails wait a few hours and try again.");
            }
        } else {
            TWebResult home = read(sites_.HomeUrl());
            if (home.Success && !home.Content.empty()) {
                state_.Connected = true;
            } else {
                state_.ErrorTrail += "-BLK";
                Log(TRunMsg::InternetBlocked);
                Message(
                    "Internet access is blocked! Make sure you're connected and check your "
                    "firewall/security (e.g. NORTON) settings.");
                if (state_.ProxyPort > 0 || !state_.ProxyServer.empty())
                    Message(
                        "Run Stirpello, use TOOLS...SETTINGS... internet tab and check your proxy "
                        "settings");
            }
        }
    } catch (const std::exception& e) {
        Log(TRunMsg::InternetError, {e.what()});
        state_.ErrorTrail += "-ENT";
    }
}

// Step 7: ask the update site for the catalogue that fits the engine.
void TFailsafeRun::AnalyzeUpdates() {
    try {
        services_.Randomize();
    } catch (const std::exception&) {
        // Any draw will do for the request's cache-buster.
    }
    if (!state_.Connected) return;
    TBusyCursor busy(view_);
    try {
        Progress("Progress - Analyzing available updates...");
        std::unique_ptr<IUpdateList> list = services_.NewUpdateList();
        const TrsFileVersion& engine = state_.Engine.Version;
        std::string text;
        try {
            std::string url = CatalogueAddress(sites_, engine, services_.Random(100000),
                                               state_.ErrorTrail);
            Log(TRunMsg::CatalogueRequest, {url});
            text = services_.WebRead(url, state_.ProxyServer, state_.ProxyPort, kWebTimeOut,
                                     TWebMode::Direct)
                       .Content;
        } catch (const std::exception&) {
            text.clear();
        }
        StopIfClosed();
        if (text.empty()) {
            Log(TRunMsg::CatalogueUnavailable, {sites_.SiteName});
            Message("The " + sites_.SiteName +
                              " update system is unavailable at the moment - try again later");
            return;
        }
        list->LoadFromString(text);
        list->SelectFor(engine.VersionNumber());
        int32_t latest = list->LatestVersion();
        if (latest > engine.VersionNumber()) {
            Log(TRunMsg::UpdateAvailable, {std::to_string(latest)});
            if (!state_.NotifyForAnyUpdate && !list->NewestIsMajor()) {
                TConfirmAnswer answer = view_.Confirm(
                    "Only a minor update is available currently... would you like to change your "
                    "settings to notify you of minor updates?");
                // Closing the window is no answer: the settings stay as they are.
                StopIfClosed();
                if (answer == crYes) {
                    Log(TRunMsg::MinorNotifyOn);
                    try {
                        WriteSettings(kInternet, "notifyForAnyUpdate", "TRUE", TStepWrite::NotifyForAnyUpdate);
                    } catch (const std::exception&) {
                        // The answer stands; the update module asks again next time.
                    }
                } else {
                    Log(TRunMsg::MinorNotifyOff);
                    state_.WantsUpdate = false;
                }
            }
        } else {
            Log(TRunMsg::NoUpdates);
            state_.WantsUpdate = false;
            Message("You have version " + engine.DottedText() +
                              " and there are no updates available for this version");
        }
    } catch (const std::exception& e) {
        Log(TRunMsg::UpdatesError, {e.what()});
    }
}

// Step 8 (the window's step 2): false when the download failed.
bool TFailsafeRun::DownloadModule() {
    if (state_.NeedsNewModule) {
        Progress("Progress - Downloading new update module...");
        const TDownloadOutcome downloaded = services_.DownloadUpdateModule(
            state_.ProgramDirectory, state_.CurrentModulePath, state_.ProxyServer, state_.ProxyPort);
        StopIfClosed();  // the download window runs its own message loop
        if (!downloaded.Ok) {
            // The download window may end without a word (Cancel): the log
            // must still say that the run stopped here, once.
            if (!downloaded.Explained) Log(TRunMsg::DownloadFailed);
            Mark(2, TStepMark::Cross);
            return false;
        }
    }
    Mark(2, TStepMark::Check);
    Mark(3, TStepMark::Arrow);
    Pump();
    return true;
}

// Step 9 (the window's step 3): false when a needed replacement failed.
bool TFailsafeRun::ReplaceModule() {
    state_.Replaced = false;
    if (state_.NeedsNewModule) {
        state_.LaunchPath = PathIn(state_.ProgramDirectory, kModuleName);
        try {
            if (services_.FileExists(state_.LaunchPath) &&
                services_.FileExists(state_.CurrentModulePath)) {
                Progress("Progress - Replacing existing update module...");
                if (Elevated())
                    state_.Replaced = StepWrite(TStepWrite::InstallModule, "install the new update module in " +
                                                                               state_.ProgramDirectory,
                                                state_.CurrentModulePath);
                else
                    state_.Replaced = services_.CopyFile(state_.CurrentModulePath, state_.LaunchPath);
            }
        } catch (const std::exception& e) {
            Log(TRunMsg::CopyError, {e.what()});
        }
    } else {
        state_.LaunchPath = state_.CurrentModulePath;
    }
    if (state_.NeedsNewModule && !state_.Replaced) {
        Log(TRunMsg::CopyFailed);
        Mark(3, TStepMark::Cross);
        Pump();
        return false;
    }
    Mark(3, TStepMark::Check);
    Mark(4, TStepMark::Arrow);
    Pump();
    return true;
}

// Step 10: record whether the update module should update.
void TFailsafeRun::MarkSettings() {
    StopIfClosed();
    try {
        state_.SettingsPath = PathIn(state_.ProgramDirectory, kSettingsName);
        if (!SettingsCopies().empty()) {
            WriteSettings(kInternet, "wantsUpdate", state_.WantsUpdate ? "TRUE" : "FALSE",
                          state_.WantsUpdate ? TStepWrite::WantsUpdateTrue : TStepWrite::WantsUpdateFalse);
        } else {
            Log(TRunMsg::MarkNoIni, {state_.SettingsPath});
        }
    } catch (const std::exception& e) {
        Log(TRunMsg::MarkError, {e.what()});
    }
}

std::vector<std::string> TFailsafeRun::SettingsCopies() {
    std::vector<std::string> copies;
    if (services_.FileExists(state_.SettingsPath)) copies.push_back(state_.SettingsPath);
    if (!state_.VirtualSettingsPath.empty() && services_.FileExists(state_.VirtualSettingsPath))
        copies.push_back(state_.VirtualSettingsPath);
    return copies;
}

void TFailsafeRun::WriteSettings(const std::string& section, const std::string& key, const std::string& value,
                                 TStepWrite step) {
    std::exception_ptr first;
    for (const auto& copy : SettingsCopies()) {
        try {
            // A write that changes nothing is skipped: a run with nothing to
            // do asks for no rights.
            if (Upper(services_.IniRead(copy, section, key, "")) == Upper(value)) continue;
            if (SettingsElevated() && copy == state_.SettingsPath) {
                if (!StepWrite(step, "write " + key + " to " + copy))
                    throw EError("Unable to write to " + copy);
            } else {
                services_.IniWrite(copy, section, key, value);
            }
        } catch (const std::exception&) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
}

bool TFailsafeRun::StepWrite(TStepWrite what, const std::string& action, const std::string& source) {
    TStepOutcome outcome = services_.ElevatedWrite(what, state_.ProgramDirectory, source);
    StopIfClosed();  // the consent prompt and the box before it process messages
    if (outcome.Done) {
        state_.StepUsed = true;
        return true;
    }
    Log(TRunMsg::ElevatedWriteFailed, {action, outcome.Reason});
    return false;
}

// Step 11 (the window's step 4): hand over to the update module and close.
// False when it could not be started; the window then stays open.
bool TFailsafeRun::Launch() {
    // Closing the window instead of pressing OK launches nothing.
    Message("Press OK to close this utility and launch the update module");
    state_.Engine = TEngineInfo();
    Progress("Progress - Executing update module...");
    TLaunchResult started;
    bool userRightsOnly = state_.FolderOpen;
    if (Elevated() && state_.StepUsed) {
        // The step that installed it starts it: one prompt per update, not two.
        TStepOutcome outcome =
            services_.ElevatedWrite(TStepWrite::LaunchModule, state_.ProgramDirectory, std::string());
        started.Started = outcome.Done;
        started.Error = outcome.Reason;
        if (!started.Started) {
            // It starts only this utility's own module; another one (a newer
            // one, or one put there by anyone) gets the user's rights.
            Log(TRunMsg::StepLaunchRefused, {outcome.Reason});
            userRightsOnly = true;
        }
    }
    if (!started.Started)
        started = services_.LaunchModule(state_.LaunchPath, state_.ProgramDirectory, state_.NeedsNewModule,
                                         userRightsOnly);
    if (started.RightsRefused) {
        Log(TRunMsg::ModuleRightsRefused, {state_.LaunchPath});
        Mark(4, TStepMark::Cross);
        Message("The update module was not started. It needs administrator rights, but Stirpello is installed in " +
                state_.ProgramDirectory +
                ", a folder that other users can change, so it would not be safe.\n\nTo fix this, repair "
                "Stirpello: open Settings > Apps (or Programs and Features), choose Stirpello, and choose Repair. "
                "The repair puts Stirpello in a folder that only administrators can change. Then run this "
                "utility again.");
        return false;
    }
    if (!started.Started) {
        Log(TRunMsg::LaunchFailed, {started.Error});
        Mark(4, TStepMark::Cross);
        Message("The update module was not started: " + started.Error + ". Close this utility, then start " +
                state_.LaunchPath + " yourself if you trust it; Windows will ask for permission.");
        return false;
    }
    if (started.Unelevated)
        Log(TRunMsg::LaunchedUnelevated);
    Log(TRunMsg::Launching, {state_.LaunchPath});
    view_.Close();
    return true;
}
