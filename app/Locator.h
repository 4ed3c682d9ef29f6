#pragma once
// TInstallationLocator: finds the product's program directory from the
// registry, the desktop's shortcuts, the default folder or, last, the user's
// choice in a file dialog, and writes what each source gives to the run log.
// The main window's LocateInstallation, ResolveShortcut and ShortcutFound
// delegate here.
#include <cstdint>
#include <string>

#include "app/RunLog.h"
#include "app/StirpelloEngine.h"
#include "fileutil/FileFinder.h"

// How the file-open dialog is to be set up.
struct TOpenDialogSetup {
    std::string Filter;     // "Program Files (*.exe)|*.exe": description|pattern pairs
    int FilterIndex = 1;
    std::string FileName;   // initial text of the file name field
    uint32_t Options = 0;   // OFN_* flags
    bool Ctl3D = true;      // 3-D styling; off on Windows 95/98/Me and NT 4.0
};

// What the locator needs from its window: message boxes, the file dialog and
// the platform version queries. Tests script it.
class ILocatorUI {
public:
    virtual ~ILocatorUI() = default;
    // Modal information box with one OK button under the application title.
    virtual void ShowMessage(const std::string& text) = 0;
    // Modal file-open dialog: true with the chosen file's full path in
    // fileName when the user confirms, false when the user cancels. Throws
    // EError when the dialog cannot be created or shown.
    virtual bool ExecuteOpenDialog(const TOpenDialogSetup& setup, std::string& fileName) = 0;
    // The system reports major version 4 with a minor version below 10
    // (Windows 95, NT 4.0) / of 10 or more (Windows 98, Me).
    virtual bool IsMajor4MinorBelow10() = 0;
    virtual bool IsMajor4Minor10OrMore() = 0;
};

class TInstallationLocator {
public:
    static constexpr const char* DefaultFolder = "C:\\Program Files\\Stirpello\\";

    // Keeps references: all three must outlive the locator.
    TInstallationLocator(TRunLog& log, ILocatorUI& ui, TStirpelloEngineList& shortcutEngines)
        : log_(log), ui_(ui), engines_(shortcutEngines) {}

    // The program directory, always ending with a backslash; at worst the
    // default folder. Refills the shortcut list. Throws EError "Invalid data
    // type for '<value>'" when a registry value is not a string; every other
    // failure is logged or shown and the search goes on. Needs COM on this
    // thread.
    std::string LocateInstallation();
    // The target path stored in the shortcut file. Throws EOSError with the
    // system's text when the link cannot be created, loaded, resolved or read.
    std::string ResolveShortcut(const std::string& linkPath);
    // The shortcut search's callback: a ".lnk" entry is resolved and its
    // target's folder judged; other entries are ignored. Throws what
    // ResolveShortcut throws.
    void ShortcutFound(const std::string& folder, const TSearchRec& entry);

private:
    void SearchDesktop(int csidl, const char* label, std::string& result);

    TRunLog& log_;
    ILocatorUI& ui_;
    TStirpelloEngineList& engines_;
};
