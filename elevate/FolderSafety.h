#pragma once
// Who besides the administrators can change the program folder. The utility
// writes there through an elevated step only when nobody else can: a folder
// that ordinary users can change (C:\Stirpello under a drive root, a fresh
// data drive, a FAT volume, a folder whose parent users may rename) must not
// lend them an administrator's rights. The decision is portable: the
// security of each folder on the path is read on Windows and given here as
// plain data.
#include <cstdint>
#include <string>
#include <vector>

// One access-control entry, as far as the decision needs it.
struct TAce {
    bool Allow = true;
    std::string Sid;          // "S-1-5-32-545"
    std::string Name;         // "BUILTIN\Users" where known, for the log
    uint32_t Mask = 0;        // access rights, generic rights unmapped or mapped
    bool InheritOnly = false; // applies only to what is created inside
    bool ToFiles = false;     // inherited by files (object inherit)
};

// A file system object's security: owner and DACL. Protected false means no
// access control at all (a null DACL, a volume without persistent ACLs).
struct TObjectSecurity {
    std::string Path;  // for the log: "C:\Program Files", "Stirpello.exe"
    bool Protected = true;
    std::string OwnerSid;
    std::string OwnerName;
    std::vector<TAce> Aces;
};

enum class TFolderVerdict {
    AdminOnly,   // nobody but the administrators can change it
    UserCan,     // the current user can (and perhaps others too)
    OthersOnly,  // principals outside the current user's token can, the user cannot
};

struct TFolderSafety {
    TFolderVerdict Verdict = TFolderVerdict::AdminOnly;
    bool Open = false;   // Verdict != AdminOnly
    // Who may do what, for the log: "BUILTIN\Users (S-1-5-32-545) may create
    // files in it"; the others' findings alone where there are others.
    std::string Reason;
    std::string Others;  // those who can, besides the current user: "Everyone (S-1-1-0), ..."
    // The user may write Stirpello.ini itself, though only administrators
    // can change the folder (installers often leave it so).
    bool SettingsByUser = false;
};

// Whose rights count as the current user's, and (test builds) a SID to take
// as Administrators.
struct TPrincipals {
    // The token's user and the groups enabled for allow entries; SIDs that a
    // limited token holds only for deny entries (Administrators) do not count.
    std::vector<std::string> User;
    // SIDs the token holds for deny entries only (Administrators in a
    // limited token).
    std::vector<std::string> DenyOnly;
    // Trusted as Administrators and never counted as the user's: under Wine
    // the signed-in user's own SID, which owns every file.
    std::string TestAdmin;
    // The user's own account: the one principal in User that no other user
    // shares (Everyone, Users, INTERACTIVE take in others too).
    std::string Own;
};

// Principals trusted with the folder: Administrators, SYSTEM and
// TrustedInstaller (and testAdmin when given). CREATOR OWNER is trusted only
// in inherit-only entries, which the judging functions see for themselves.
bool IsTrustedSid(const std::string& sid, const std::string& testAdmin = std::string());

// The verdict on a program folder from the security of each folder on its
// final path, the volume root first and the program folder last, and of the
// files in it that will be written (their Path being their name).
//
// Anyone untrusted who owns a folder on the path, or whose allow entries
// give full control, WRITE_DAC, WRITE_OWNER or DELETE on it, or
// FILE_DELETE_CHILD on the folder above, can swap the path; on the program
// folder also creating files or folders, deleting children, generic write,
// or write rights that new files inherit; on a file, writing, appending or
// DELETE. Create rights and inherit-only entries on the folders above are
// harmless. Deny entries are not weighed: an allowed right counts even where
// a deny entry might take it back, which can call a folder open that is not,
// never the other way round.
TFolderSafety JudgeFolderPath(const std::vector<TObjectSecurity>& path, const TPrincipals& who,
                              const std::vector<TObjectSecurity>& files = {});

// The verdict on one file in an otherwise judged folder (file.Path its name).
TFolderSafety JudgeFile(const TObjectSecurity& file, const TPrincipals& who);

// A verdict for a folder that could not be judged (a link, a network path, a
// security that cannot be read): never admin-only, and the user's own rights
// decide what can be done there.
TFolderSafety Unjudged(const std::string& reason);

// Both verdicts at once: the user can when either says so, else others can
// when either says so.
TFolderSafety Combine(TFolderSafety a, const TFolderSafety& b);

// Whether a token holding who.User, with who.DenyOnly, Administrators and
// who.TestAdmin for deny entries only, is granted all of access (generic
// rights allowed) to an object with this security, weighing entries in
// order as AccessCheck does; an owner gets READ_CONTROL and WRITE_DAC. For
// where a restricted token cannot be made as a limited one would be.
bool Grants(const TObjectSecurity& object, const TPrincipals& who, uint32_t access);

// Generic rights mapped to file rights (FILE_GENERIC_READ and the like).
uint32_t MapFileGeneric(uint32_t mask);
