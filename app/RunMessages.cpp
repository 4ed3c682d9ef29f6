#include "app/RunMessages.h"

#include <cstddef>

namespace {

using M = TRunMsg;
using S = TRunStep;
using K = TLineKind;

const char kAskAgain[] = "run the utility again; if it fails the same way, send us the whole log";

const TRunMessage kMessages[] = {
    {M::UtilityVersion, "Stirpello Failsafe Update Utility Version {v}", S::Start, K::Header, "",
     "a run of the utility started", ""},
    {M::CurrentTime, "Current date/time is: {}", S::Start, K::Info, "", "when the run started", ""},
    {M::ProductRunning, "{p} is running...", S::Programs, K::Stop, "",
     "Stirpello was running, so the utility stopped before changing anything",
     "close Stirpello (or reboot), then run the utility again"},
    {M::ProgramRunning, "{p} is running", S::Programs, K::Stop, "",
     "Stirpello's engine or a genealogy program that embeds Stirpello (TMG, RootsMagic) was running, so "
     "the utility stopped before changing anything",
     "close that program (or reboot), then run the utility again"},
    {M::EmbeddedLoaded, "SPExec.dll detected as being loaded... ", S::Programs, K::Note, "",
     "a program had Stirpello's embedded interface (SPExec.dll) loaded",
     "if the update does not succeed, reboot and run the utility again"},
    {M::EmbeddedHandle, "SPExec.dll handle was {#}", S::Programs, K::Info, "",
     "the module handle of the embedded interface", ""},
    {M::ProcessesError, "Error analyzing runnig processes - {}", S::Programs, K::Fault, "",
     "the list of running programs could not be read, so a running Stirpello may have gone unnoticed",
     "close Stirpello and your genealogy program (or reboot), then run the utility again"},
    {M::ProductRegistryDir, "SP Reg Key Dir={}", S::Installation, K::Info, "",
     "the folder Stirpello's registry key names", ""},
    {M::InstallerRegistryDir, "IS Reg Key Dir={}", S::Installation, K::Info, "",
     "the folder the installer's registry key names", ""},
    {M::MultipleInstalls, "Possible multiple versions installed", S::Installation, K::Note, "",
     "Stirpello's and the installer's registry keys name different folders: there may be two copies",
     "check that the folder the utility used is the copy the user runs"},
    {M::NoRegistryInstall, "No \"modern\" (1.0.7 or higher) versions of Stirpello found in registry",
     S::Installation, K::Note, "", "the registry names no Stirpello folder (an old or moved installation)",
     ""},
    {M::RegistryInstall, "Stirpello install found in registry - {}", S::Installation, K::Info, "",
     "the installation the registry names", ""},
    {M::ShortcutCount, "{#} Desktop Shortcuts found for Stirpello", S::Installation, K::Info, "",
     "Stirpello shortcuts on the desktop", ""},
    {M::SharedShortcutCount, "{#} Shared Desktop Shortcuts found for Stirpello", S::Installation, K::Info, "",
     "Stirpello shortcuts on the desktop all users share (searched when the user's own gave no folder)", ""},
    {M::Shortcut, "  {#}) {}", S::Installation, K::Info, "", "a desktop shortcut and the engine it leads to",
     ""},
    {M::ShortcutsError, "Error analyzing shortcuts - {}", S::Installation, K::Fault, "",
     "the desktop shortcuts could not be read",
     "nothing, unless the installation was not found: then pick SPEngine.exe by hand when asked"},
    {M::X86Install, "Stirpello found in the 32-bit program files folder - {}", S::Installation, K::Info, "",
     "the installation was found in the 32-bit program files folder", ""},
    {M::NotInDefaultFolder, "Stirpello is not installed in it's default location", S::Installation, K::Note,
     "", "no installation was found by registry, shortcut or default folder, so the user was asked to pick "
         "SPEngine.exe",
     ""},
    {M::ManualFind, "Result of manual find was ({})", S::Installation, K::Info, "",
     "the folder the user picked (empty: none)", ""},
    {M::NoEngine, "Unable to access SPEngine.exe in {}", S::Installation, K::Stop, "",
     "the folder found is not a Stirpello installation (no readable SPEngine.exe)",
     "run the utility again and pick the folder that holds SPEngine.exe when asked"},
    {M::Identified, "Version {v} in {} identified for update", S::Installation, K::Info, "",
     "the installed Stirpello and its folder", ""},
    {M::ModuleFound, "Found existing update module {v}", S::Module, K::Info, "",
     "the update module in place (above 1.4.0.0 counts as current)", ""},
    {M::ModuleMissing, "Did not find an existing update module", S::Module, K::Note, "UMX",
     "there was no update module (Stirpello.exe) in the program folder", ""},
    {M::ModuleError, "Error analyzing existing update module - {}", S::Module, K::Fault, "",
     "the update module's version could not be read", kAskAgain},
    {M::DeletedCheckDate, "Found CheckOnOrAfterDate in Stirpello.ini file - deleting it", S::Settings,
     K::Info, "", "a setting that postponed update checks was removed", ""},
    {M::DeletedNotifyAfter, "Found NotifyAfterUpdateTo in Stirpello.ini file - deleting it", S::Settings,
     K::Info, "", "a setting that held back update notices was removed", ""},
    {M::VirtualStoreSettings, "Stirpello reads its settings from the VirtualStore copy {} - repairing both copies",
     S::Settings, K::Note, "",
     "Windows had redirected Stirpello's settings to the user's VirtualStore copy, which Stirpello reads; "
     "the utility repaired both copies",
     ""},
    {M::ProxyUsed, "Using Proxy for internet access... Port={#} Server={}", S::Settings, K::Info, "",
     "Stirpello's settings name a proxy, which the utility used", ""},
    {M::WorkingDirectory, "INI file \"UseWorkingDirectory\" turned on!", S::Settings, K::Note, "",
     "Stirpello keeps its files in a working directory of its own", ""},
    {M::IniMissing, "INI file {} not found", S::Settings, K::Fault, "INF",
     "Stirpello's settings file (Stirpello.ini) is missing", "run Stirpello once so that it writes its "
                                                               "settings, then run the utility again"},
    {M::IniError, "Error analyzing ini file - {}", S::Settings, K::Fault, "IER",
     "Stirpello's settings file could not be read or changed",
     "make sure Stirpello.ini is not read-only, then run the utility again"},
    {M::ProbeSucceeded, "Internet access test 1 succeeded", S::Internet, K::Info, "1OK",
     "the general internet test page was reached", ""},
    {M::SiteDown, "{w} down", S::Internet, K::Fault, "GDW",
     "the internet works but the Stirpello site did not answer properly (busy or down)",
     "wait a few hours and run the utility again"},
    {M::InternetBlocked, "Internet Access Blocked!", S::Internet, K::Fault, "BLK",
     "neither the internet test page nor the Stirpello site could be reached: internet blocked",
     "check the connection and the firewall or security software; try webread with the same address"},
    {M::InternetError, "Error analyzing internet connection - {}", S::Internet, K::Fault, "ENT",
     "the internet test failed with an error", kAskAgain},
    {M::CatalogueRequest, "Accessing internet {}", S::Updates, K::Info, "",
     "the update catalogue was requested (the address carries the error trail)", ""},
    {M::CatalogueUnavailable, "Unable to access update data structure on {}", S::Updates, K::Fault, "",
     "the update catalogue could not be read from the Stirpello site", "try again later"},
    {M::UpdateAvailable, "Looks like there's an update available to {#}", S::Updates, K::Info, "",
     "an update is available", ""},
    {M::MinorNotifyOn,
     "Only minor updates found and minor update notification is turned off... user requests it be turned "
     "on",
     S::Updates, K::Info, "", "the user turned on notices of minor updates", ""},
    {M::MinorNotifyOff,
     "Only minor updates found and minor update notification is turned off... user DOES NOT request it be "
     "turned on",
     S::Updates, K::Info, "", "the user kept minor-update notices off", ""},
    {M::NoUpdates, "No updates found.", S::Updates, K::Info, "", "the installed version is the newest", ""},
    {M::UpdatesError, "Error analyzing updates - {}", S::Updates, K::Fault, "",
     "the update catalogue could not be read (damaged, or not a catalogue: a proxy's page?)",
     "try again later; if it persists, try from another network"},
    {M::DownloadIncomplete, "Download did not complete... Actual={#} Needed={#}", S::Download, K::Stop, "",
     "the update module's download stopped before its end",
     "run the utility again: the download resumes where it stopped"},
    {M::DownloadCrc, "The file was corrupted during the transmission... Actual={#} Needed={#}", S::Download,
     K::Stop, "", "the module downloaded but failed its CRC-32 check: it was damaged on the way",
     "run the utility again: the damaged file is fetched anew"},
    {M::DownloadInvalid, "SP88J - A problem was encountered validating the update", S::Download, K::Stop,
     "", "the module downloaded whole and with the right CRC-32, but the download window refused it",
     kAskAgain},
    {M::DownloadSha256, "The file was corrupted during the transmission... SHA-256 {} Needed={}",
     S::Download, K::Stop, "",
     "the SHA-256 did not match: the file was not the publisher's (deleted, nothing was run)",
     "do not run files sent by others; try from another network"},
    {M::DeleteFailed, "Cannot delete {}: {}", S::Download, K::Fault, "",
     "a refused download could not be deleted", "delete the Download folder in the Stirpello folder, then "
                                                "run the utility again"},
    {M::DownloadCompleted, "Download completed", S::Download, K::Info, "",
     "the new update module downloaded and passed its checks", ""},
    {M::DownloadError, "An error occurred during download - {}", S::Download, K::Stop, "",
     "the download could not be made", "check that the Stirpello folder can be written, then run the "
                                       "utility again"},
    {M::DownloadFailed, "Download of new update module failed", S::Download, K::Stop, "",
     "no new update module was obtained (cross at step 2)",
     "run the utility again: the download resumes where it stopped"},
    {M::CopyError, "Error copying new update module - {}", S::Replace, K::Fault, "",
     "the new update module could not be copied over the old one",
     "close Stirpello, make sure Stirpello.exe is not read-only (Properties), then run the utility again "
     "by double-clicking it; it asks Windows for permission itself where it needs it"},
    {M::CopyFailed, "Copy of new update module failed", S::Replace, K::Stop, "",
     "the old update module was not replaced (cross at step 3)",
     "close Stirpello, make sure Stirpello.exe is not read-only (Properties), then run the utility again "
     "by double-clicking it; it asks Windows for permission itself where it needs it"},
    {M::MarkNoIni, "Ini file doesn't exist - {}", S::Launch, K::Note, "",
     "there was no settings file to record the wanted update in", ""},
    {M::MarkError, "Error updating ini file - {}", S::Launch, K::Fault, "",
     "the wanted update could not be recorded in Stirpello.ini",
     "make sure Stirpello.ini is not read-only"},
    {M::Launching, "Running {}", S::Launch, K::Launched, "", "the update module was started", ""},
    {M::ClosedByUser, "Window closed by the user at step {#}: {}", S::Launch, K::Closed, "",
     "the user closed the utility's window before the run ended", "run the utility again and let it finish"},
    {M::FolderOpen, "The program folder can be changed by ordinary users: {}", S::Installation, K::Fault, "",
     "the program folder can be changed by ordinary users, so a program any of them runs could replace "
     "what the utility writes or starts there",
     "remove ordinary users' write access to the Stirpello folder (Properties > Security), or reinstall "
     "Stirpello into Program Files"},
    {M::LaunchFailed, "Launch of the update module failed - {}", S::Launch, K::Stop, "",
     "the update module could not be started (cross at step 4)",
     "close the utility, then start Stirpello.exe in the Stirpello folder yourself"},
    {M::LaunchedUnelevated, "The update module was started with the signed-in user's own rights, not the utility's",
     S::Launch, K::Note, "", "the update module runs without administrator rights", ""},
    {M::Sha256NotComputed, "The SHA-256 of {} cannot be computed ({}); the file is kept", S::Download, K::Stop, "",
     "the downloaded module could not be checked (another program held it?)",
     "run the utility again in a few minutes"},
    {M::DownloadOversize, "The server sent more than the expected {#} bytes; the download was stopped there",
     S::Download, K::Fault, "", "the server (or a proxy) sent more than the update module's size",
     "try again later, or from another network"},
    {M::HeldFileWait, "{p} is in use by another program ({}), waiting for it", S::Download, K::Note, "",
     "another program (often security software scanning it) held a file for a moment", ""},
    {M::HeldFileGiveUp, "{p} is still in use by another program ({}), giving up", S::Download, K::Fault, "",
     "another program (often security software) kept a file the utility needed",
     "let the security software finish, or allow the Stirpello folder in it, then run the utility again"},
    {M::ElevationAsked, "Only administrators can change {p} - asking Windows once for administrator rights",
     S::Installation, K::Info, "",
     "the Stirpello folder is protected, so its changes go through one small step with administrator rights",
     ""},
    {M::ElevationRefused, "Administrator rights were not given: {}", S::Installation, K::Fault, "",
     "Windows' request for administrator rights was declined, or no administrator's password was given, so "
     "nothing in the Stirpello folder was changed",
     "run the utility again and answer Yes when Windows asks, or have an administrator answer it"},
    {M::ElevatedWriteFailed, "Could not {} with administrator rights: {}", S::Installation, K::Fault, "",
     "a change in the protected Stirpello folder was not made",
     "run the utility again and answer Yes when Windows asks; if it persists, reinstall Stirpello"},
    {M::FolderOthersOnly, "The program folder can be changed by other users, not by you: {}", S::Installation,
     K::Stop, "",
     "users other than the administrators can change the Stirpello folder, so the utility neither writes "
     "there nor starts a program from it",
     "have an administrator remove other users' write access to the Stirpello folder (Properties > "
     "Security), or reinstall Stirpello into Program Files"},
    {M::UserDownloadFolder, "The update module is downloaded to {p}", S::Download, K::Note, "",
     "the Stirpello folder cannot be written with the user's own rights, so the download goes to the "
     "user's own folder",
     ""},
    {M::StartedElevated, "The utility was started with administrator rights",
     S::Start, K::Note, "",
     "the utility was started with \"Run as administrator\" (or a compatibility setting)", ""},
    {M::ElevationGaveUp, "Stopped waiting for the administrator step: {}", S::Installation, K::Fault, "",
     "Windows' request for administrator rights was not answered in time; a step started later finds no "
     "one to serve and ends at once, so nothing in the Stirpello folder was changed",
     "run the utility again and answer Windows' request when it appears"},
    {M::StepLaunchRefused, "The administrator step did not start the update module: {}", S::Launch, K::Note, "",
     "the module in the Stirpello folder is not the one this utility brings, so it is not started with "
     "administrator rights; it is started with the user's own rights instead, or not at all", ""},
    {M::ModuleRightsRefused, "Not started: {p} asks for administrator rights, and other users can change its folder",
     S::Launch, K::Stop, "",
     "the update module needs administrator rights, but users other than the administrators can change the "
     "Stirpello folder, so starting it with those rights would not be safe",
     "repair Stirpello (Settings > Apps, or Programs and Features: Stirpello, Repair); the repair puts it in a "
     "folder that only administrators can change"},
    {M::StepFromStart, "Only administrators can change {p} - the utility's administrator part from its start makes the changes",
     S::Installation, K::Info, "",
     "the utility was started with administrator rights; the part that kept them makes the changes in the "
     "protected Stirpello folder, without a second request", ""},
    {M::WindowWithoutRights, "The utility was started with administrator rights; its window and downloads run {}",
     S::Start, K::Note, "",
     "the utility was started with \"Run as administrator\" (or where every program runs so); it started its "
     "window again without those rights, and kept them only for the changes in the Stirpello folder", ""},
};

static_assert(sizeof kMessages / sizeof kMessages[0] == static_cast<size_t>(TRunMsg::Count),
              "one row per TRunMsg");

}  // namespace

const TRunMessage& RunMessage(TRunMsg id) { return kMessages[static_cast<size_t>(id)]; }
const TRunMessage* RunMessagesBegin() { return kMessages; }
const TRunMessage* RunMessagesEnd() { return kMessages + sizeof kMessages / sizeof kMessages[0]; }

const char* RunStepName(TRunStep step) {
    switch (step) {
    case TRunStep::Start: return "start";
    case TRunStep::Programs: return "running programs";
    case TRunStep::Installation: return "step 1: installation";
    case TRunStep::Module: return "update module";
    case TRunStep::Settings: return "settings file";
    case TRunStep::Internet: return "internet access";
    case TRunStep::Updates: return "available updates";
    case TRunStep::Download: return "step 2: download";
    case TRunStep::Replace: return "step 3: replace module";
    case TRunStep::Launch: return "step 4: launch";
    case TRunStep::Count: break;
    }
    return "?";
}

std::string FormatRunMessage(TRunMsg id, std::initializer_list<std::string> args) {
    const char* t = RunMessage(id).Text;
    const std::string* next = args.begin();
    std::string out;
    for (; *t; ++t) {
        if (*t == '{') {
            const char* close = t + 1;
            while (*close && *close != '}') ++close;
            if (*close == '}') {
                if (next != args.end()) out += *next++;
                t = close;
                continue;
            }
        }
        out += *t;
    }
    return out;
}
