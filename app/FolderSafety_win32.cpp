#include "app/FolderSafety_win32.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "fileutil/Errors.h"
#include "fileutil/Handles_win32.h"
#include "fileutil/PathText.h"

namespace {

struct TLocalFree {
    void operator()(void* p) const { LocalFree(p); }
};

std::string SidText(PSID sid) {
    char* text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid, &text)) return std::string();
    std::unique_ptr<char, TLocalFree> owned(text);
    return text;
}

std::string SidName(PSID sid) {
    char name[256] = {}, domain[256] = {};
    DWORD nameLen = sizeof name, domainLen = sizeof domain;
    SID_NAME_USE use;
    if (!LookupAccountSidA(nullptr, sid, name, &nameLen, domain, &domainLen, &use)) return std::string();
    return domain[0] ? std::string(domain) + "\\" + name : std::string(name);
}

uint32_t MapGeneric(uint32_t mask) {
    GENERIC_MAPPING map = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    DWORD m = mask;
    // Kept as well as mapped, so that the verdict can name "full control".
    DWORD generic = m & (GENERIC_ALL | GENERIC_WRITE);
    MapGenericMask(&m, &map);
    return m | generic;
}

// The caller's own account: an administrator, since the utility runs elevated.
std::string OwnUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::string();
    TKernelHandle owned(token);
    unsigned char buffer[512];
    DWORD got = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &got)) return std::string();
    return SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

std::string ParentOf(std::string dir) {
    if (EndsWithBackslash(dir)) dir.pop_back();
    size_t slash = LastSeparator(dir, "\\");
    return slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
}

bool VolumeHasAcls(const std::string& path) {
    char root[MAX_PATH] = {};
    if (!GetVolumePathNameA(path.c_str(), root, MAX_PATH)) return true;
    DWORD flags = 0;
    if (!GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) return true;
    return (flags & FILE_PERSISTENT_ACLS) != 0;
}

}  // namespace

TObjectSecurity SecurityOf(PSECURITY_DESCRIPTOR descriptor) {
    TObjectSecurity result;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner) result.OwnerSid = SidText(owner);
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl) {
        result.Protected = false;  // no DACL: everyone may do everything
        return result;
    }
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) continue;
        auto* header = static_cast<ACE_HEADER*>(raw);
        // Every kind starts with the header and the mask.
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        TAce a;
        switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
            a.Allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
            a.Sid = SidText(&ace->SidStart);
            a.Name = SidName(&ace->SidStart);
            break;
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
            // The SID lies further on; unread, such an entry counts against
            // the folder, as anyone's would.
            a.Sid = "an object access entry";
            break;
        default:
            continue;  // denials of objects, audit entries, labels: they grant nothing
        }
        a.Mask = MapGeneric(ace->Mask);
        a.InheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        a.ToFiles = (header->AceFlags & OBJECT_INHERIT_ACE) != 0;
        result.Aces.push_back(a);
    }
    return result;
}

TObjectSecurity SecurityFromSddl(const std::string& sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        throw EOSError(SysErrorMessage(GetLastError()), GetLastError());
    std::unique_ptr<void, TLocalFree> owned(sd);
    return SecurityOf(sd);
}

TObjectSecurity ReadSecurity(const std::string& path) {
    TFileHandle h(CreateFileA(path.c_str(), READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) throw EOSError(SysErrorMessage(GetLastError()), GetLastError());
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD e = GetSecurityInfo(h.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &sd);
    if (e != ERROR_SUCCESS) throw EOSError(SysErrorMessage(e), e);
    std::unique_ptr<void, TLocalFree> owned(sd);
    TObjectSecurity result = SecurityOf(sd);
    if (!VolumeHasAcls(path)) result.Protected = false;
    return result;
}

TFolderSafety CheckProgramFolder(const std::string& dir) {
    std::vector<std::string> admins;
    std::string own = OwnUserSid();
    if (!own.empty()) admins.push_back(own);
    try {
        TObjectSecurity folder = ReadSecurity(dir);
        std::string parentDir = ParentOf(dir);
        TObjectSecurity parent = parentDir.empty() ? TObjectSecurity() : ReadSecurity(parentDir);
        TFolderSafety verdict = JudgeProgramFolder(folder, parent, admins);
        std::string module = dir + "Stirpello.exe";
        if (!verdict.Open && GetFileAttributesA(module.c_str()) != INVALID_FILE_ATTRIBUTES)
            verdict = JudgeModuleFile("Stirpello.exe", ReadSecurity(module), admins);
        return verdict;
    } catch (const EOSError& e) {
        return {true, "its permissions cannot be read (" + e.Message() + ")"};
    }
}
