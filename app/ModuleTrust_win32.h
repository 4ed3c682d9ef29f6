#pragma once
// What runs is what was checked. The update module is read, hashed, written
// and started through handles that nobody else may write, rename or delete
// meanwhile, so a file swapped in a folder that ordinary users can write is
// never installed or started in place of the checked one.
#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <string>

#include "app/RunServices.h"

using TTrustNote = std::function<void(const std::string&)>;

// Test seams: called at the moments a swap would matter.
struct TTrustHooks {
    std::function<void()> AfterSourceChecked;  // source hashed, target not yet written
    std::function<void()> BeforeStart;         // module hashed, not yet started
    // In place of ShellExecuteExW for a module that asks for administrator
    // rights; returns its result and sets the last error.
    std::function<bool(SHELLEXECUTEINFOW&)> Elevate;
    // CreateProcessW answers ERROR_ELEVATION_REQUIRED (Wine never does).
    bool ElevationRequired = false;
    // This process is taken as not elevated (under Wine every one is).
    bool NotElevated = false;
};

// ANSI path text as UTF-16, for the wide calls.
std::wstring AnsiWide(const std::string& s);

// Whether this process holds administrator rights (an elevated token).
bool ProcessIsElevated();

// The protected access list of what the utility creates: administrators and
// SYSTEM full control, users read and execute, nothing inherited from above.
extern const char* const kProtectedSddl;

// Makes folder with the protected access list unless it exists (forUser:
// the user who makes it keeps full control too); refuses an existing one
// that is a link (junction or symbolic link) or not a folder. "" on
// success, else the reason for the log.
std::string MakeProtectedFolder(const std::string& folder, bool forUser = false);

// A file or folder that is a reparse point (junction, symbolic link), or a
// file with more than one hard link: elevated writes and deletes refuse it.
// "" when it is neither (or missing), else the reason.
std::string LinkedPathReason(const std::string& path);

// Deletes path when it is a plain file that ends where it was meant to; ""
// on success, else the reason. Waits out a file held by another program.
std::string DeletePlainFile(const std::string& path, const TTrustNote& note);

// Installs source over target. The source is opened once, sharing reading
// only, and its bytes are hashed: when they do not have expectedSha256
// nothing is written. The same bytes go to a new file beside target, created
// under a fresh name with the protected access list, which then replaces
// target. Files held by other programs are waited for. "" on success, else
// the reason. No temporary file is left behind.
std::string InstallModule(const std::string& source, const std::string& target,
                          const std::string& expectedSha256, const TTrustNote& note,
                          const TTrustHooks& hooks = {});

// Starts the module at path with folder as working directory. It is opened
// so that nobody can write, rename or delete it, refused when it is a link,
// and hashed through that handle; the handle is held until the process has
// started. Where mustBeGenuine, anything but expectedSha256 is refused. It
// starts with the utility's rights, and a module that asks for more gets
// Windows' prompt. But where the folder is open (userRightsOnly), nothing
// gets administrator rights (a module loads DLLs from its own folder): it
// starts with the signed-in user's own rights, or not at all; one that asks
// for more is not started (RightsRefused).
TLaunchResult LaunchModule(const std::string& path, const std::string& folder,
                           const std::string& expectedSha256, bool mustBeGenuine, bool userRightsOnly,
                           const TTrustHooks& hooks = {});
