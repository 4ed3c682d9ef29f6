#pragma once
// Every line the run writes to its log, with what it means. The run writes
// its lines only through this table (TRunLog::Add takes a TRunMsg), and
// `updlog explain` reads logs with it, so a new or changed line reaches the
// reader by construction. To add a line: a name in TRunMsg, a row in
// RunMessages.cpp (same order), then log it.
//
// A text is the line as written, with a placeholder for each variable part:
//   {}  any text          {v} a dotted version (1.0.9.5)
//   {#} an integer        {w} one word without blanks (a site name)
//   {p} a path (holds a backslash or a slash) or nothing
#include <initializer_list>
#include <string>

enum class TRunMsg {
    UtilityVersion,
    CurrentTime,
    ProductRunning,
    ProgramRunning,
    EmbeddedLoaded,
    EmbeddedHandle,
    ProcessesError,
    ProductRegistryDir,
    InstallerRegistryDir,
    MultipleInstalls,
    NoRegistryInstall,
    RegistryInstall,
    ShortcutCount,
    SharedShortcutCount,
    Shortcut,
    ShortcutsError,
    X86Install,
    NotInDefaultFolder,
    ManualFind,
    NoEngine,
    Identified,
    ModuleFound,
    ModuleMissing,
    ModuleError,
    DeletedCheckDate,
    DeletedNotifyAfter,
    VirtualStoreSettings,
    ProxyUsed,
    WorkingDirectory,
    IniMissing,
    IniError,
    ProbeSucceeded,
    SiteDown,
    InternetBlocked,
    InternetError,
    CatalogueRequest,
    CatalogueUnavailable,
    UpdateAvailable,
    MinorNotifyOn,
    MinorNotifyOff,
    NoUpdates,
    UpdatesError,
    DownloadIncomplete,
    DownloadCrc,
    DownloadInvalid,
    DownloadSha256,
    DeleteFailed,
    DownloadCompleted,
    DownloadError,
    DownloadFailed,
    CopyError,
    CopyFailed,
    MarkNoIni,
    MarkError,
    Launching,
    ClosedByUser,
    FolderOpen,
    LaunchFailed,
    LaunchedUnelevated,
    Sha256NotComputed,
    DownloadOversize,
    HeldFileWait,
    HeldFileGiveUp,
    ElevationAsked,
    ElevationRefused,
    ElevatedWriteFailed,
    FolderOthersOnly,
    UserDownloadFolder,
    StartedElevated,
    ElevationGaveUp,
    StepLaunchRefused,
    ModuleRightsRefused,
    StepFromStart,
    WindowWithoutRights,
    Count
};

// What a line tells about the run's course.
enum class TLineKind {
    Header,    // starts a run
    Info,      // the run went on as usual
    Note,      // worth a look, the run went on
    Fault,     // something went wrong, the run went on
    Stop,      // the run ended here without starting the module
    Launched,  // the module was started
    Closed,    // the user closed the window during the run
};

// The parts of a run, in order: the checks before the window's four steps,
// then the steps 2 to 4 (step 1 is everything up to the identification).
enum class TRunStep { Start, Programs, Installation, Module, Settings, Internet, Updates, Download, Replace, Launch, Count };

struct TRunMessage {
    TRunMsg Id;
    const char* Text;
    TRunStep Step;
    TLineKind Kind;
    const char* Trail;   // the error-trail code the line goes with ("UMX"), or ""
    const char* Cause;   // what it means (every line has one)
    const char* Advice;  // what to tell the user; "" for lines that need nothing
};

const TRunMessage& RunMessage(TRunMsg id);
// The table, in TRunMsg order.
const TRunMessage* RunMessagesBegin();
const TRunMessage* RunMessagesEnd();
const char* RunStepName(TRunStep step);

// The text with each placeholder replaced by the next argument (missing ones
// give nothing, extra ones are ignored).
std::string FormatRunMessage(TRunMsg id, std::initializer_list<std::string> args);
