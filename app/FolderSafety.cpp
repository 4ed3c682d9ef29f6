#include "app/FolderSafety.h"

namespace {

// Access rights of files and folders (winnt.h values).
const uint32_t kAddFile = 0x0002;        // FILE_ADD_FILE / FILE_WRITE_DATA
const uint32_t kAddSubdir = 0x0004;      // FILE_ADD_SUBDIRECTORY / FILE_APPEND_DATA
const uint32_t kDeleteChild = 0x0040;    // FILE_DELETE_CHILD
const uint32_t kDelete = 0x00010000;     // DELETE
const uint32_t kWriteDac = 0x00040000;   // WRITE_DAC
const uint32_t kWriteOwner = 0x00080000; // WRITE_OWNER
const uint32_t kGenericAll = 0x10000000;
const uint32_t kGenericWrite = 0x40000000;

const char* const kCreatorOwner = "S-1-3-0";

std::string Who(const TAce& ace) {
    return ace.Name.empty() ? ace.Sid : ace.Name + " (" + ace.Sid + ")";
}

// The first right of mask that lets a principal change things, in words.
std::string Danger(uint32_t mask, bool parent, bool children) {
    if (mask & kGenericAll) return "full control";
    if (mask & kWriteDac) return "change the permissions";
    if (mask & kWriteOwner) return "take ownership";
    if (parent) {
        if (mask & kDeleteChild) return "delete or rename the folder";
        return std::string();
    }
    if (children) {
        if (mask & (kGenericWrite | kAddFile | kAddSubdir)) return "change the files";
        if (mask & kDelete) return "delete the files";
        return std::string();
    }
    if (mask & kGenericWrite) return "write";
    if (mask & kAddFile) return "create files";
    if (mask & kAddSubdir) return "create folders";
    if (mask & kDeleteChild) return "delete files";
    if (mask & kDelete) return "delete the folder";
    return std::string();
}

bool Trusted(const TAce& ace, const std::vector<std::string>& admins) {
    // CREATOR OWNER is whoever creates the child: the administrator who
    // installs, or someone who could already create files (caught anyway).
    return IsTrustedSid(ace.Sid, admins) || ace.Sid == kCreatorOwner;
}

}  // namespace

bool IsTrustedSid(const std::string& sid, const std::vector<std::string>& admins) {
    for (const std::string& a : admins)
        if (sid == a) return true;
    return sid == "S-1-5-32-544" ||  // Administrators
           sid == "S-1-5-18" ||      // SYSTEM
           sid == "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";  // TrustedInstaller
}

TFolderSafety JudgeProgramFolder(const TObjectSecurity& folder, const TObjectSecurity& parent,
                                 const std::vector<std::string>& admins) {
    if (!folder.Protected) return {true, "it has no access control (FAT, exFAT or a network share)"};
    if (!folder.OwnerSid.empty() && !IsTrustedSid(folder.OwnerSid, admins))
        return {true, "it is owned by " + folder.OwnerSid + ", who may change its permissions"};
    for (const TAce& ace : folder.Aces) {
        if (!ace.Allow || Trusted(ace, admins)) continue;
        // Entries only for what is made inside count where files inherit them.
        if (ace.InheritOnly && !ace.ToFiles) continue;
        std::string right = Danger(ace.Mask, false, ace.InheritOnly);
        if (!right.empty()) return {true, Who(ace) + " may " + right + " in it"};
    }
    if (!parent.Protected) return {true, "its parent folder has no access control"};
    if (!parent.OwnerSid.empty() && !IsTrustedSid(parent.OwnerSid, admins))
        return {true, "its parent folder is owned by " + parent.OwnerSid + ", who may rename it"};
    for (const TAce& ace : parent.Aces) {
        if (!ace.Allow || ace.InheritOnly || Trusted(ace, admins)) continue;
        std::string right = Danger(ace.Mask, true, false);
        if (!right.empty()) return {true, Who(ace) + " may " + right + " through its parent folder"};
    }
    return {};
}

TFolderSafety JudgeModuleFile(const std::string& name, const TObjectSecurity& file,
                              const std::vector<std::string>& admins) {
    if (!file.Protected) return {true, name + " has no access control"};
    if (!file.OwnerSid.empty() && !IsTrustedSid(file.OwnerSid, admins))
        return {true, name + " is owned by " + file.OwnerSid};
    const uint32_t kWriteFile = 0x0002 | 0x0004 | kDelete | kWriteDac | kWriteOwner | kGenericAll | kGenericWrite;
    for (const TAce& ace : file.Aces) {
        if (!ace.Allow || ace.InheritOnly || Trusted(ace, admins)) continue;
        if (ace.Mask & kWriteFile) return {true, Who(ace) + " may change " + name};
    }
    return {};
}
