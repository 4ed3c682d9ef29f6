#pragma once
// What the failsafe run needs from the system: process queries, the installed
// product, its files and settings file, the network, the update catalogue, the
// module download, the copy and the launch. The real implementation wires the
// Win32 pieces (app/RealServices_win32.h); the run's tests script the answers.
#include <cstdint>
#include <memory>
#include <string>

#include "elevate/FolderSafety.h"
#include "fileutil/FileVersion.h"

// windows.h defines CopyFile as a macro, which would rename the member.
#ifdef CopyFile
#undef CopyFile
#endif

// The processes running one executable: how many, and the first one's path.
struct TProcessQuery {
    int Count = 0;
    std::string FirstPath;
};

// The loaded instances of one library: how many, and the first one's handle.
// How a start of the update module went.
struct TLaunchResult {
    bool Started = false;
    bool Unelevated = false;  // started with the signed-in user's own rights
    std::string Error;        // why not, when not started
    // Not started: it asks for administrator rights, and users other than
    // the administrators can change its folder.
    bool RightsRefused = false;
};

struct TModuleQuery {
    int Count = 0;
    uint64_t FirstHandle = 0;
};

// What the run keeps of an engine identification.
struct TEngineInfo {
    bool Valid = false;
    TrsFileVersion Version;
};

// A write in a program folder that only administrators can change, made by
// the one elevated step of the run, in the procedure's order.
enum class TStepWrite {
    RemovePostponingKeys,  // CheckOnOrAfterDate and NotifyAfterUpdateTo from [Updates]
    NotifyForAnyUpdate,    // notifyForAnyUpdate=TRUE
    InstallModule,         // the verified download in place of Stirpello.exe
    WantsUpdateTrue,
    WantsUpdateFalse,
    LaunchModule,          // its last act: start Stirpello.exe
};

struct TStepOutcome {
    bool Done = false;
    std::string Reason;  // why not, for the log
};

// How the download of a fresh module went.
struct TDownloadOutcome {
    bool Ok = false;
    bool Explained = false;  // a log line already says why it failed
};

struct TWebResult {
    bool Success = false;
    std::string Content;
};

// Direct: the read blocks the window's thread. Waiting: the window keeps
// processing messages while a worker reads.
enum class TWebMode { Direct, Waiting };

// The update catalogue as the run uses it.
class IUpdateList {
public:
    virtual ~IUpdateList() = default;
    // Throws EError with the catalogue's failure message.
    virtual void LoadFromString(const std::string& data) = 0;
    // Throws EError with the catalogue's failure message.
    virtual void SelectFor(int32_t installedVersion) = 0;
    virtual int32_t LatestVersion() const = 0;
    virtual bool NewestIsMajor() const = 0;
};

// An empty TSoftwareUpdateList behind the run's interface.
std::unique_ptr<IUpdateList> NewCatalogueList();

class IRunServices {
public:
    virtual ~IRunServices() = default;

    // Running programs. Absence is a count of 0; errors escape as exceptions.
    virtual TProcessQuery FindProcesses(const std::string& exeName) = 0;
    virtual TModuleQuery FindLoadedModules(const std::string& libraryName) = 0;

    // The program directory, ending with a backslash. May log, show boxes and
    // the file dialog; a registry value of the wrong type escapes as EError.
    virtual std::string LocateInstallation() = 0;
    // Identifies engineName in directory; the identification is released
    // before this returns. Errors while creating it escape.
    virtual TEngineInfo IdentifyEngine(const std::string& directory,
                                       const std::string& engineName) = 0;

    // Whether this process holds administrator rights itself (started "as
    // administrator"): it then says so in the log.
    virtual bool RunsElevated() = 0;
    // How this window runs when the utility was started elevated and
    // started it again without those rights ("with the desktop user's own
    // rights"); "" for a usual start.
    virtual std::string WindowRights() { return std::string(); }
    // The utility's own executable version (0.0.0.0 without a resource).
    virtual TrsFileVersion OwnVersion() = 0;
    virtual TrsFileVersion ReadVersion(const std::string& path) = 0;
    // A file (not a folder) exists at path.
    virtual bool FileExists(const std::string& path) = 0;

    // The product's settings file, through the profile functions. Reads give
    // def for a missing key; a failed delete is ignored; a failed write throws
    // EError("Unable to write to " + path).
    virtual std::string IniRead(const std::string& path, const std::string& section,
                                const std::string& key, const std::string& def) = 0;
    virtual void IniDelete(const std::string& path, const std::string& section,
                           const std::string& key) = 0;
    virtual void IniWrite(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& value) = 0;
    // The copy of the settings file at path that the signed-in user's
    // unelevated product reads instead (its VirtualStore copy); "" when there
    // is none.
    virtual std::string VirtualSettingsCopy(const std::string& path) = 0;

    // One read of url into text. Never fails but by Success false, except that
    // a worker that cannot be started throws.
    virtual TWebResult WebRead(const std::string& url, const std::string& proxyServer,
                               int32_t proxyPort, int timeoutMs, TWebMode mode) = 0;
    virtual std::unique_ptr<IUpdateList> NewUpdateList() = 0;

    // Fetches a fresh update module into a download folder: the program
    // folder's own where the user may write it, else the user's own; sets
    // modulePath to the target file. Shows its own boxes and logs its own lines.
    virtual TDownloadOutcome DownloadUpdateModule(const std::string& directory, std::string& modulePath,
                                                  const std::string& proxyServer, int32_t proxyPort) = 0;
    // Who can change the program folder dir: only administrators, the user
    // (among others perhaps), or only others; and who, for the log.
    virtual TFolderSafety CheckProgramFolder(const std::string& dir) = 0;
    // One write in the admin-only program folder dir through the elevated
    // step. The first one of a run asks Windows for the rights (one prompt);
    // once declined, later ones fail at once with the same reason. source:
    // the verified download, for InstallModule.
    virtual TStepOutcome ElevatedWrite(TStepWrite what, const std::string& dir, const std::string& source) = 0;
    // Where the log file goes: dir when the user may write it there, else
    // the user's own folder (made here).
    virtual std::string LogFolder(const std::string& dir, TFolderVerdict verdict) = 0;
    // Puts the genuine module at source in place of target: true when the
    // whole file was installed. Throws EError with the reason otherwise
    // (a read that failed, a module that is not the publisher's, a link).
    virtual bool CopyFile(const std::string& source, const std::string& target) = 0;
    // Starts the update module at path from folder, after checking it
    // through the handle the start uses. mustBeGenuine: it was just
    // installed, so anything but the publisher's module is refused.
    // userRightsOnly: ordinary users can change the folder (or the elevated
    // step would not start what is there), so the module gets the
    // signed-in user's rights, or does not run; one that asks for more is
    // not started (RightsRefused).
    virtual TLaunchResult LaunchModule(const std::string& path, const std::string& folder,
                                       bool mustBeGenuine, bool userRightsOnly) = 0;

    // Local date and time in the system's short date and long time format.
    virtual std::string NowText() = 0;
    // Seeds the random generator from the clock.
    virtual void Randomize() = 0;
    // A uniformly drawn integer from 0 to bound - 1.
    virtual int32_t Random(int32_t bound) = 0;
};
