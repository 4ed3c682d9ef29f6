#include "elevate/FolderSafety.h"

#include <algorithm>

namespace {

// Access rights of files and folders (winnt.h values).
const uint32_t kAddFile = 0x0002;        // FILE_ADD_FILE / FILE_WRITE_DATA
const uint32_t kAddSubdir = 0x0004;      // FILE_ADD_SUBDIRECTORY / FILE_APPEND_DATA
const uint32_t kDeleteChild = 0x0040;    // FILE_DELETE_CHILD
const uint32_t kDelete = 0x00010000;     // DELETE
const uint32_t kWriteDac = 0x00040000;   // WRITE_DAC
const uint32_t kWriteOwner = 0x00080000; // WRITE_OWNER
const uint32_t kFileAllAccess = 0x001f01ff;
const uint32_t kGenericAll = 0x10000000;
const uint32_t kGenericExecute = 0x20000000;
const uint32_t kGenericWrite = 0x40000000;
const uint32_t kGenericRead = 0x80000000u;

const char* const kAdministrators = "S-1-5-32-544";
const char* const kCreatorOwner = "S-1-3-0";
const char* const kEveryone = "S-1-1-0";

// One principal who can change the path, and how.
struct TFinding {
    std::string Sid;
    std::string Who;   // "BUILTIN\Users (S-1-5-32-545)"
    std::string What;  // "may create files in it"
};

std::string Who(const std::string& name, const std::string& sid) {
    return name.empty() ? sid : name + " (" + sid + ")";
}

bool Trusted(const TAce& ace, const TPrincipals& who) {
    // CREATOR OWNER in an inherit-only entry becomes whoever creates the
    // child: an administrator, or someone caught anyway for being able to
    // create there. In an effective entry it is nobody the verdict knows.
    return IsTrustedSid(ace.Sid, who.TestAdmin) || (ace.Sid == kCreatorOwner && ace.InheritOnly);
}

// What mask lets a principal do to an object, in words; "" when harmless.
// where is "it" for the program folder, else the object's name.
std::string Danger(uint32_t mask, const std::string& where, bool programFolder, bool file) {
    uint32_t m = MapFileGeneric(mask);
    if ((mask & kGenericAll) || (m & kFileAllAccess) == kFileAllAccess) return "has full control of " + where;
    if (m & kWriteDac) return "may change the permissions of " + where;
    if (m & kWriteOwner) return "may take ownership of " + where;
    if (m & kDelete) return "may delete or rename " + where;
    if (file) {
        if (m & (kAddFile | kAddSubdir)) return "may write " + where;
        return std::string();
    }
    if (!programFolder) {
        if (m & kDeleteChild) return "may delete or rename the folders in " + where;
        return std::string();  // creating folders in C:\ is everyone's right
    }
    if (mask & kGenericWrite) return "may write in it";
    if (m & kAddFile) return "may create files in it";
    if (m & kAddSubdir) return "may create folders in it";
    if (m & kDeleteChild) return "may delete files in it";
    return std::string();
}

void Add(std::vector<TFinding>& findings, TFinding f) {
    // One finding per principal: the first, nearest the program folder.
    for (const TFinding& g : findings)
        if (g.Sid == f.Sid) return;
    findings.push_back(std::move(f));
}

void Examine(std::vector<TFinding>& findings, const TObjectSecurity& object, const std::string& where,
             bool programFolder, bool file, const TPrincipals& who) {
    if (!object.Protected) {
        Add(findings, {kEveryone, Who("Everyone", kEveryone),
                       "may change " + where + ": it has no access control (FAT, exFAT or an empty security)"});
        return;
    }
    if (!object.OwnerSid.empty() && !IsTrustedSid(object.OwnerSid, who.TestAdmin))
        Add(findings, {object.OwnerSid, Who(object.OwnerName, object.OwnerSid),
                       "owns " + where + ", and so may change its permissions"});
    for (const TAce& ace : object.Aces) {
        if (!ace.Allow || Trusted(ace, who)) continue;
        std::string what;
        if (ace.InheritOnly) {
            // Only what files created in the program folder will inherit
            // matters: a new module or settings file that others may change.
            if (!programFolder || !ace.ToFiles || Danger(ace.Mask, "", false, true).empty()) continue;
            what = "may change the files created in it";
        } else {
            what = Danger(ace.Mask, where, programFolder, file);
        }
        if (!what.empty()) Add(findings, {ace.Sid, Who(ace.Name, ace.Sid), what});
    }
}

bool IsUsers(const std::string& sid, const TPrincipals& who) {
    if (sid == who.TestAdmin || sid == kAdministrators) return false;  // deny-only in a limited token
    return std::find(who.User.begin(), who.User.end(), sid) != who.User.end();
}

TFolderSafety Decide(const std::vector<TFinding>& findings, const TPrincipals& who) {
    TFolderSafety result;
    if (findings.empty()) return result;
    bool user = false;
    std::string own, others;
    for (const TFinding& f : findings) {
        if (IsUsers(f.Sid, who)) user = true;
        // Everyone, Users and the like can be the user and others too.
        std::string& reason = f.Sid == who.Own ? own : others;
        if (!reason.empty()) reason += "; ";
        reason += f.Who + " " + f.What;
        if (f.Sid != who.Own && result.Others.find(f.Who) == std::string::npos) {
            if (!result.Others.empty()) result.Others += ", ";
            result.Others += f.Who;
        }
    }
    result.Reason = others.empty() ? own : others;
    result.Verdict = user ? TFolderVerdict::UserCan : TFolderVerdict::OthersOnly;
    result.Open = true;
    return result;
}

}  // namespace

bool Grants(const TObjectSecurity& object, const TPrincipals& who, uint32_t access) {
    const uint32_t want = MapFileGeneric(access);
    if (!object.Protected) return true;
    auto denies = [&who](const std::string& sid) {
        return IsUsers(sid, who) || sid == kAdministrators || (!who.TestAdmin.empty() && sid == who.TestAdmin) ||
               std::find(who.DenyOnly.begin(), who.DenyOnly.end(), sid) != who.DenyOnly.end();
    };
    const char* const kOwnerRights = "S-1-3-4";
    const bool owner = !object.OwnerSid.empty() && IsUsers(object.OwnerSid, who);
    bool ownerRightsAce = false;
    for (const TAce& ace : object.Aces) ownerRightsAce |= ace.Sid == kOwnerRights;
    uint32_t granted = owner && !ownerRightsAce ? kWriteDac | 0x00020000 /* READ_CONTROL */ : 0;
    uint32_t denied = 0;
    for (const TAce& ace : object.Aces) {
        if (ace.InheritOnly) continue;
        // OWNER RIGHTS stands for the owner; an effective CREATOR OWNER
        // entry matches nobody.
        const bool allowMatch = ace.Sid == kOwnerRights ? owner : IsUsers(ace.Sid, who);
        const bool denyMatch = ace.Sid == kOwnerRights ? owner : denies(ace.Sid);
        const uint32_t m = MapFileGeneric(ace.Mask);
        if (ace.Allow && allowMatch) granted |= m & ~denied;
        if (!ace.Allow && denyMatch) denied |= m & ~granted;
    }
    return (granted & want) == want;
}

uint32_t MapFileGeneric(uint32_t mask) {
    uint32_t m = mask & ~(kGenericAll | kGenericExecute | kGenericWrite | kGenericRead);
    if (mask & kGenericRead) m |= 0x00120089;     // FILE_GENERIC_READ
    if (mask & kGenericWrite) m |= 0x00120116;    // FILE_GENERIC_WRITE
    if (mask & kGenericExecute) m |= 0x001200a0;  // FILE_GENERIC_EXECUTE
    if (mask & kGenericAll) m |= kFileAllAccess;
    return m;
}

bool IsTrustedSid(const std::string& sid, const std::string& testAdmin) {
    return sid == kAdministrators ||
           sid == "S-1-5-18" ||  // SYSTEM
           sid == "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464" ||  // TrustedInstaller
           (!testAdmin.empty() && sid == testAdmin);
}

TFolderSafety JudgeFolderPath(const std::vector<TObjectSecurity>& path, const TPrincipals& who,
                              const std::vector<TObjectSecurity>& files) {
    if (path.empty()) return Unjudged("its path is unknown");
    std::vector<TFinding> findings;
    // The program folder and its files first: their findings are the ones
    // the log names when a principal turns up twice.
    Examine(findings, path.back(), "it", true, false, who);
    for (const TObjectSecurity& file : files) Examine(findings, file, file.Path, false, true, who);
    for (size_t i = path.size() - 1; i-- > 0;) {
        const std::string& name = path[i].Path;
        Examine(findings, path[i], name.empty() ? "a folder above it" : name, false, false, who);
    }
    return Decide(findings, who);
}

TFolderSafety JudgeFile(const TObjectSecurity& file, const TPrincipals& who) {
    std::vector<TFinding> findings;
    Examine(findings, file, file.Path, false, true, who);
    return Decide(findings, who);
}

TFolderSafety Unjudged(const std::string& reason) {
    TFolderSafety result;
    result.Verdict = TFolderVerdict::UserCan;
    result.Open = true;
    result.Reason = reason;
    result.Others = "perhaps others";  // nobody can tell who
    return result;
}

TFolderSafety Combine(TFolderSafety a, const TFolderSafety& b) {
    if (!b.Open) return a;
    if (!a.Open) return b;
    if (b.Verdict == TFolderVerdict::UserCan) a.Verdict = TFolderVerdict::UserCan;
    a.Reason += "; " + b.Reason;
    if (!b.Others.empty() && a.Others.find(b.Others) == std::string::npos)
        a.Others += (a.Others.empty() ? "" : ", ") + b.Others;
    return a;
}
