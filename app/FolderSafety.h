#pragma once
// Whether the program folder is "open": whether someone other than the
// administrators can change what lies in it. The utility runs elevated and
// ends by starting a program from that folder, so a folder that ordinary
// users can write (C:\Stirpello under a drive root, a fresh data drive, a
// FAT volume) must not lend them its rights. The decision is portable: the
// access lists are read on Windows and given here as plain data.
#include <cstdint>
#include <string>
#include <vector>

// One access-control entry, as far as the decision needs it.
struct TAce {
    bool Allow = true;
    std::string Sid;          // "S-1-5-32-545"
    std::string Name;         // "BUILTIN\Users" where known, for the log
    uint32_t Mask = 0;        // access rights (generic rights not yet mapped)
    bool InheritOnly = false; // applies only to what is created inside
    bool ToFiles = false;     // inherited by files (object inherit)
};

// A file system object's security: owner and DACL. Protected false means no
// access control at all (a null DACL, FAT/exFAT, a share without ACLs).
struct TObjectSecurity {
    bool Protected = true;
    std::string OwnerSid;
    std::vector<TAce> Aces;
};

// Who can change the program folder: only administrators; the current user
// (perhaps among others); or only others than the user and administrators.
enum class TFolderVerdict { AdminOnly, UserCan, OthersOnly };

struct TFolderSafety {
    TFolderVerdict Verdict = TFolderVerdict::AdminOnly;
    bool Open = false;   // Verdict != AdminOnly
    std::string Reason;  // which principal may do what, when Open
    std::string Others;  // for OthersOnly: the principals who can
};

// Principals trusted with the folder: Administrators, SYSTEM,
// TrustedInstaller, and the administrators' own accounts given in admins
// (the elevated user running the utility).
bool IsTrustedSid(const std::string& sid, const std::vector<std::string>& admins = {});

// The verdict on a program folder from its own security and its parent's.
// Open when any other principal may create files or folders in it, write
// or delete it or its files, change its permissions or owner, or (in the
// parent) delete or rename it. Deny entries are not weighed: an allowed
// right counts even where a deny entry might take it back, which can call a
// folder open that is not, never the other way round.
TFolderSafety JudgeProgramFolder(const TObjectSecurity& folder, const TObjectSecurity& parent,
                                 const std::vector<std::string>& admins = {});

// The verdict on the module file itself, whose own entries may give others
// write or delete rights in an otherwise admin-only folder.
TFolderSafety JudgeModuleFile(const std::string& name, const TObjectSecurity& file,
                              const std::vector<std::string>& admins = {});
