#pragma once
// The program folder held open from the volume root down, its security read
// through those handles, and the verdict on it.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "elevate/FolderSafety.h"
#include "fileutil/Handles_win32.h"

// Owner and DACL of a security descriptor, account names looked up for the
// log when names is true. Protected false for a null DACL.
TObjectSecurity SecurityOf(PSECURITY_DESCRIPTOR descriptor, bool names = true);
// The same for a descriptor given as SDDL (tests); throws EOSError when the
// text is not valid SDDL.
TObjectSecurity SecurityFromSddl(const std::string& sddl);

enum class TFolderWalk { FromFinalPath, FromGivenPath };

// The program folder and every folder above it, each opened relative to the
// one above without following links, and held for the object's life without
// FILE_SHARE_DELETE, so that none of them can be renamed or deleted (and the
// path swapped) while held. Files are then opened relative to Handle().
class THeldFolder {
public:
    // Opens dir (an ANSI path, with or without a trailing backslash) and
    // checks it: refused (null, with *why set for the log) for UNC, \\?\ and
    // \\.\ paths, relative paths, streams, anything not on a fixed disk, a
    // file, a missing folder, a final path that cannot be read or that
    // differs from dir (a link or a substituted drive on the way), a link
    // met on the walk down from the root, a folder that cannot be opened, or
    // a security that cannot be read. Never throws.
    //
    // FromFinalPath (the main process) first opens dir by its name, links
    // followed, to learn its final path, and holds that. FromGivenPath (the
    // elevated step, which must not tell anyone where a link leads or
    // whether a name exists) walks dir as given and refuses a link met on
    // the way or a name that is not the folder's full one. Both refuse a
    // folder on a disk that can be unplugged (USB, FireWire, SD, MMC,
    // removable media): one prepared elsewhere could carry any access list.
    static std::unique_ptr<THeldFolder> Open(const std::string& dir, std::string* why,
                                             TFolderWalk walk = TFolderWalk::FromFinalPath);

    THeldFolder(const THeldFolder&) = delete;
    THeldFolder& operator=(const THeldFolder&) = delete;

    // The program folder, open for listing, traversal and READ_CONTROL.
    HANDLE Handle() const { return handles_.back().get(); }
    // Its DOS path, "C:\Program Files\Stirpello" (no trailing backslash).
    const std::wstring& FinalPath() const { return finalPath_; }
    // The security of each folder, the volume root first and the program
    // folder last (all unprotected on a volume without persistent ACLs),
    // without account names: the verdict looks them up for its reason only.
    const std::vector<TObjectSecurity>& Security() const { return security_; }
    // The program folder's descriptor (owner, group, DACL), for AccessCheck.
    PSECURITY_DESCRIPTOR Descriptor() const { return descriptor_.get(); }
    bool PersistentAcls() const { return persistentAcls_; }

private:
    struct TLocalFree {
        void operator()(void* p) const { LocalFree(p); }
    };
    THeldFolder() = default;

    std::vector<TFileHandle> handles_;  // the volume root first
    std::vector<TObjectSecurity> security_;
    std::unique_ptr<void, TLocalFree> descriptor_;
    std::wstring finalPath_;
    bool persistentAcls_ = true;
};

// Whose rights are the current user's: the process token's user and groups
// enabled for allow entries (see TPrincipals), and in test builds
// STIRPELLO_TEST_ADMIN_SID as Administrators.
TPrincipals CurrentPrincipals();

// The verdict on the held folder's path.
TFolderSafety JudgeHeldFolder(const THeldFolder& folder);
// The verdict on the file leaf in the held folder, from its own security: a
// link, a file with other names (hard links) or one that cannot be read is
// never admin-only; a missing file adds nothing to the folder's verdict.
TFolderSafety JudgeFileInFolder(const THeldFolder& folder, const std::wstring& leaf);

// Whether the current user may have access (FILE_ADD_FILE, FILE_WRITE_DATA,
// ...) to the held folder (leafOrEmpty empty) or to the file leafOrEmpty in
// it, by AccessCheck on the user's token with Administrators (and in test
// builds STIRPELLO_TEST_ADMIN_SID) for deny entries only, as in a limited
// token; where the system cannot disable the SID in a restricted token (Wine
// leaves a token's own user SID enabled) the entries are weighed by Grants.
// False for a missing file, a link, a file with other names or one that
// leads elsewhere, and when it cannot be told.
bool UserMay(const THeldFolder& folder, const std::wstring& leafOrEmpty, DWORD access);

// The verdict on the program folder dir and its Stirpello.exe, as the run
// logs it. A folder that cannot be held (see THeldFolder::Open) is never
// admin-only.
TFolderSafety CheckProgramFolder(const std::string& dir);
