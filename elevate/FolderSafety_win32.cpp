#include "elevate/FolderSafety_win32.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstddef>
#include <cwctype>
#include <map>
#include <winioctl.h>

#include "fileutil/Errors.h"
#include "fileutil/NtFile_win32.h"

namespace {

const NTSTATUS kObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034L);

struct TLocalFree {
    void operator()(void* p) const { LocalFree(p); }
};
using TLocalDescriptor = std::unique_ptr<void, TLocalFree>;

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

// Path text in the ANSI code page, for the log.
std::string Narrow(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

// "" when text is not valid in the ANSI code page.
std::wstring Widen(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

std::wstring Upper(std::wstring s) {
    if (!s.empty()) CharUpperBuffW(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

std::string ErrorText(DWORD e) { return SysErrorMessage(e); }

#ifdef STIRPELLO_TEST_OVERRIDES
// Test builds only: a SID taken as Administrators. Under Wine every file is
// owned by the signed-in user, so without it no folder could be admin-only.
std::string TestAdminSid() {
    char value[256] = {};
    DWORD n = GetEnvironmentVariableA("STIRPELLO_TEST_ADMIN_SID", value, sizeof value);
    if (n == 0 || n >= sizeof value) return std::string();
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(value, &sid)) return std::string();
    std::unique_ptr<void, TLocalFree> owned(sid);
    return SidText(sid);
}
#else
std::string TestAdminSid() { return std::string(); }
#endif

// Owner, group and DACL (and the integrity label where the system gives
// one, which AccessCheck weighs), self-relative, or the error.
DWORD ReadDescriptor(HANDLE h, TLocalDescriptor* out) {
    const SECURITY_INFORMATION basic = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                       DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD e = GetSecurityInfo(h, SE_FILE_OBJECT, basic | LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &sd);
    if (e != ERROR_SUCCESS) e = GetSecurityInfo(h, SE_FILE_OBJECT, basic, nullptr, nullptr, nullptr, nullptr, &sd);
    if (e == ERROR_SUCCESS) out->reset(sd);
    return e;
}

// The DOS form of an open object's final path with the \\?\ kept, or "".
std::wstring FinalPathOf(HANDLE h, DWORD* error) {
    using TGetFinalPath = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    static const auto getFinalPath = reinterpret_cast<TGetFinalPath>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
    if (!getFinalPath) {
        *error = ERROR_CALL_NOT_IMPLEMENTED;
        return std::wstring();
    }
    std::vector<wchar_t> buffer(32768);
    DWORD n = getFinalPath(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= buffer.size()) {
        *error = n == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        return std::wstring();
    }
    return std::wstring(buffer.data(), n);
}

bool VolumeHasAcls(HANDLE root, const std::wstring& rootPath) {
    using TByHandle = BOOL(WINAPI*)(HANDLE, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR, DWORD);
    static const auto byHandle = reinterpret_cast<TByHandle>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetVolumeInformationByHandleW")));
    DWORD flags = 0;
    BOOL ok = byHandle ? byHandle(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) : FALSE;
    if (!ok) ok = GetVolumeInformationW(rootPath.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0);
    return ok && (flags & FILE_PERSISTENT_ACLS) != 0;
}

#ifdef STIRPELLO_TEST_OVERRIDES
// Test builds only: a drive letter ("E") taken as one that can be unplugged.
bool TestUnpluggable(const std::wstring& root) {
    wchar_t value[8] = {};
    DWORD n = GetEnvironmentVariableW(L"STIRPELLO_TEST_UNPLUGGABLE_DRIVE", value, 8);
    return n == 1 && !root.empty() && towupper(value[0]) == towupper(root[0]);
}
#else
bool TestUnpluggable(const std::wstring&) { return false; }
#endif

// "" when the volume of root ("C:\") is built in; else why not. A disk on
// USB, FireWire, SD or MMC, or with removable media, can be prepared on
// another machine with any owner and access list, so its folders are never
// taken as ones only this machine's administrators can change. Where the
// volume cannot be asked, the drive type (fixed, checked before) stands.
std::string UnpluggableReason(const std::wstring& root) {
    if (TestUnpluggable(root)) return "it is on a disk that can be unplugged";
    const std::wstring device = L"\\\\.\\" + root.substr(0, 2);
    TFileHandle volume(CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
    if (!volume) return std::string();
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<uint64_t> buffer(128);
    DWORD got = 0;
    if (!DeviceIoControl(volume.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer.data(),
                         static_cast<DWORD>(buffer.size() * 8), &got, nullptr) ||
        got < offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof(STORAGE_BUS_TYPE))
        return std::string();
    const auto* d = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer.data());
    if (d->RemovableMedia) return "it is on a disk with removable media";
    switch (d->BusType) {
    case BusTypeUsb: return "it is on a USB disk, which can be unplugged";
    case BusType1394: return "it is on a FireWire disk, which can be unplugged";
    case BusTypeSd:
    case BusTypeMmc: return "it is on a memory card, which can be unplugged";
    default: return std::string();
    }
}

// The long form of a full path, for comparing with a final path.
std::wstring LongFullPath(const std::wstring& path) {
    std::vector<wchar_t> full(32768), longer(32768);
    DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0 || n >= full.size()) return path;
    DWORD m = GetLongPathNameW(full.data(), longer.data(), static_cast<DWORD>(longer.size()));
    std::wstring result = m == 0 || m >= longer.size() ? std::wstring(full.data(), n) : std::wstring(longer.data(), m);
    while (result.size() > 3 && result.back() == L'\\') result.pop_back();
    return result;
}

// Account names for the log, looked up only when there is something to
// log: an admin-only folder (all the elevated step accepts) needs none.
void NameThem(std::vector<TObjectSecurity>& objects) {
    std::map<std::string, std::string> known;
    auto name = [&known](const std::string& sid) {
        auto it = known.find(sid);
        if (it != known.end()) return it->second;
        PSID raw = nullptr;
        std::string n;
        if (ConvertStringSidToSidA(sid.c_str(), &raw)) {
            n = SidName(raw);
            LocalFree(raw);
        }
        return known[sid] = n;
    };
    for (TObjectSecurity& o : objects) {
        if (!o.OwnerSid.empty()) o.OwnerName = name(o.OwnerSid);
        for (TAce& a : o.Aces)
            if (a.Sid.rfind("S-", 0) == 0) a.Name = name(a.Sid);
    }
}

// The verdict on path (empty: the files alone), with names when it is open.
TFolderSafety Judge(std::vector<TObjectSecurity> path, const TPrincipals& who, std::vector<TObjectSecurity> files) {
    auto judge = [&] { return path.empty() ? (files.empty() ? TFolderSafety() : JudgeFile(files.front(), who))
                                           : JudgeFolderPath(path, who, files); };
    TFolderSafety verdict = judge();
    if (!verdict.Open) return verdict;
    NameThem(path);
    NameThem(files);
    return judge();
}

enum class TLeaf { Found, Missing, Refused };

// The file leaf in the held folder, opened for reading its security only
// and never through a link. Refused with *problem set for a link, a file
// with other names, or one that cannot be opened or read.
TLeaf OpenLeaf(const THeldFolder& folder, const std::wstring& leaf, TFileHandle* file, TLocalDescriptor* sd,
               std::string* problem) {
    const std::string name = Narrow(leaf);
    if (leaf.empty() || leaf.find_first_of(L"\\/:") != std::wstring::npos || leaf == L"." || leaf == L"..") {
        *problem = "\"" + name + "\" is not a plain file name";
        return TLeaf::Refused;
    }
    NTSTATUS status = 0;
    // Others may keep it open in any way: this handle only reads.
    file->reset(OpenRelative(folder.Handle(), leaf, READ_CONTROL | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                             FILE_NON_DIRECTORY_FILE, &status));
    if (!*file) {
        if (status == kObjectNameNotFound) return TLeaf::Missing;
        *problem = name + " cannot be opened (" + ErrorText(GetLastError()) + ")";
        return TLeaf::Refused;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file->get(), &info)) {
        *problem = name + " cannot be examined (" + ErrorText(GetLastError()) + ")";
        return TLeaf::Refused;
    }
    DWORD entry = 0;
    if (!EntryAttributes(folder.Handle(), leaf, &entry)) {
        *problem = name + " cannot be examined (" + ErrorText(GetLastError()) + ")";
        return TLeaf::Refused;
    }
    if ((info.dwFileAttributes | entry) & FILE_ATTRIBUTE_REPARSE_POINT) {
        *problem = name + " is a link (junction or symbolic link)";
        return TLeaf::Refused;
    }
    // Under Wine a link to a file shows nowhere but in where it leads.
    DWORD error = 0;
    std::wstring final = FinalPathOf(file->get(), &error);
    if (final.compare(0, 4, L"\\\\?\\") == 0) final.erase(0, 4);
    if (final.empty()) {
        *problem = "the final path of " + name + " cannot be read (" + ErrorText(error) + ")";
        return TLeaf::Refused;
    }
    std::wstring expected = folder.FinalPath();
    if (expected.back() != L'\\') expected += L'\\';
    if (Upper(final) != Upper(expected + leaf)) {
        *problem = name + " leads elsewhere, to " + Narrow(final);
        return TLeaf::Refused;
    }
    // Writing one name of a hard-linked file changes the file under its others.
    if (info.nNumberOfLinks > 1) {
        *problem = name + " has " + std::to_string(info.nNumberOfLinks) + " names (hard links)";
        return TLeaf::Refused;
    }
    DWORD e = ReadDescriptor(file->get(), sd);
    if (e != ERROR_SUCCESS) {
        *problem = "the permissions of " + name + " cannot be read (" + ErrorText(e) + ")";
        return TLeaf::Refused;
    }
    return TLeaf::Found;
}

TFolderSafety JudgeWithFile(const THeldFolder& folder, const std::wstring& leaf, const TPrincipals& who,
                            bool withPath) {
    TFileHandle file;
    TLocalDescriptor sd;
    std::string problem;
    TLeaf found = OpenLeaf(folder, leaf, &file, &sd, &problem);
    std::vector<TObjectSecurity> files;
    if (found == TLeaf::Found) {
        files.push_back(SecurityOf(sd.get(), false));
        files.back().Path = Narrow(leaf);
        if (!folder.PersistentAcls()) files.back().Protected = false;
    }
    std::vector<TObjectSecurity> path = withPath ? folder.Security() : std::vector<TObjectSecurity>();
    TFolderSafety verdict = Judge(path, who, files);
    return found == TLeaf::Refused ? Combine(verdict, Unjudged(problem)) : verdict;
}

// A token's user or groups, empty when they cannot be read.
std::vector<uint64_t> TokenInfo(HANDLE token, TOKEN_INFORMATION_CLASS what) {
    DWORD size = 0;
    GetTokenInformation(token, what, nullptr, 0, &size);
    std::vector<uint64_t> buffer((size + 7) / 8 + 1);  // aligned for the SID pointers
    if (!GetTokenInformation(token, what, buffer.data(), static_cast<DWORD>(buffer.size() * 8), &size))
        buffer.clear();
    return buffer;
}

// Whether every SID of disable that the restricted token holds, as its
// user or a group, is there for deny entries only.
bool DisablesAll(HANDLE restricted, const std::vector<SID_AND_ATTRIBUTES>& disable) {
    std::vector<SID_AND_ATTRIBUTES> held;
    std::vector<uint64_t> user = TokenInfo(restricted, TokenUser), groups = TokenInfo(restricted, TokenGroups);
    if (user.empty() || groups.empty()) return false;
    held.push_back(reinterpret_cast<TOKEN_USER*>(user.data())->User);
    const auto* g = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
    held.insert(held.end(), g->Groups, g->Groups + g->GroupCount);
    for (const SID_AND_ATTRIBUTES& d : disable)
        for (const SID_AND_ATTRIBUTES& h : held)
            if (EqualSid(d.Sid, h.Sid) && !(h.Attributes & SE_GROUP_USE_FOR_DENY_ONLY)) return false;
    return true;
}

}  // namespace

TObjectSecurity SecurityOf(PSECURITY_DESCRIPTOR descriptor, bool names) {
    TObjectSecurity result;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner) {
        result.OwnerSid = SidText(owner);
        if (names) result.OwnerName = SidName(owner);
    }
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
            if (names) a.Name = SidName(&ace->SidStart);
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
        a.Mask = ace->Mask;  // the verdict maps generic rights itself
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

std::unique_ptr<THeldFolder> THeldFolder::Open(const std::string& dir, std::string* why, TFolderWalk walk) {
    auto refuse = [why](const std::string& reason) {
        if (why) *why = reason;
        return std::unique_ptr<THeldFolder>();
    };
    if (dir.empty()) return refuse("no folder is given");
    std::wstring path = Widen(dir);
    if (path.empty()) return refuse("its name is not valid text in this system's code page");
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0)
        return refuse("it is given as a device or \\\\?\\ path");
    if (path.compare(0, 2, L"\\\\") == 0) return refuse("it is on a network share");
    bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
    if (path.size() < 3 || !letter || path[1] != L':' || path[2] != L'\\')
        return refuse("it is not a full path (a drive letter, a colon and a backslash)");
    if (path.find(L':', 2) != std::wstring::npos) return refuse("it names a stream");
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    if (GetDriveTypeW(path.substr(0, 3).c_str()) != DRIVE_FIXED) return refuse("it is not on a fixed disk");

    BY_HANDLE_FILE_INFORMATION info;
    DWORD error = 0;
    TFileHandle byPath;
    std::wstring final = path;
    if (walk == TFolderWalk::FromFinalPath) {
        // By path, links followed: where the files really are.
        byPath.reset(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!byPath) return refuse("it cannot be opened (" + ErrorText(GetLastError()) + ")");
        if (!GetFileInformationByHandle(byPath.get(), &info))
            return refuse("it cannot be examined (" + ErrorText(GetLastError()) + ")");
        if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return refuse("it is a file, not a folder");
        final = FinalPathOf(byPath.get(), &error);
        if (final.empty()) return refuse("its final path cannot be read (" + ErrorText(error) + ")");
        if (final.compare(0, 4, L"\\\\?\\") == 0) final.erase(0, 4);
        if (final.compare(0, 4, L"UNC\\") == 0) return refuse("it leads to a network share");
        if (final.size() < 3 || final[1] != L':' || final[2] != L'\\')
            return refuse("its final path is not on a drive: " + Narrow(final));
        while (final.size() > 3 && final.back() == L'\\') final.pop_back();
        if (GetDriveTypeW(final.substr(0, 3).c_str()) != DRIVE_FIXED) return refuse("it leads off the fixed disks");
        // Short names, case and trailing dots aside, a different final path
        // means a link or a substituted drive on the way.
        if (Upper(LongFullPath(path)) != Upper(final))
            return refuse("it is reached through a link or a substituted drive, and leads to " + Narrow(final));
    }
    const std::string unplugged = UnpluggableReason(final.substr(0, 3));
    if (!unplugged.empty()) return refuse(unplugged);

    std::unique_ptr<THeldFolder> held(new THeldFolder());
    held->finalPath_ = final;
    std::vector<std::wstring> names;
    for (size_t start = 3; start < final.size();) {
        size_t end = final.find(L'\\', start);
        if (end == std::wstring::npos) end = final.size();
        if (end > start) names.push_back(final.substr(start, end - start));
        start = end + 1;
    }
    for (const std::wstring& name : names)
        if (name == L"." || name == L"..") return refuse("it names a folder by . or ..");
    // Held without FILE_SHARE_DELETE, no folder on the way can be renamed
    // or deleted while the handles are open.
    const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const ACCESS_MASK ancestor = READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_TRAVERSE;
    std::wstring shown = final.substr(0, 3);
    for (size_t i = 0; i <= names.size(); ++i) {
        const bool last = i == names.size();
        const ACCESS_MASK access = last ? ancestor | FILE_LIST_DIRECTORY : ancestor;
        NTSTATUS status = 0;
        HANDLE h = i == 0 ? OpenRelative(nullptr, L"\\??\\" + shown, access, share, FILE_OPEN, FILE_DIRECTORY_FILE,
                                         &status)
                          : OpenRelative(held->handles_.back().get(), names[i - 1], access, share, FILE_OPEN,
                                         FILE_DIRECTORY_FILE, &status);
        if (i > 0) shown += (i > 1 ? L"\\" : L"") + names[i - 1];
        if (h == INVALID_HANDLE_VALUE)
            return refuse(Narrow(shown) + " cannot be opened (" + ErrorText(GetLastError()) + ")");
        held->handles_.emplace_back(h);
        if (!GetFileInformationByHandle(h, &info))
            return refuse(Narrow(shown) + " cannot be examined (" + ErrorText(GetLastError()) + ")");
        // The handle tells a link on Windows; under Wine only the listing does.
        DWORD entry = 0;
        if (i > 0 && !EntryAttributes(held->handles_[i - 1].get(), names[i - 1], &entry))
            return refuse(Narrow(shown) + " cannot be examined (" + ErrorText(GetLastError()) + ")");
        if (i > 0 && ((info.dwFileAttributes | entry) & FILE_ATTRIBUTE_REPARSE_POINT))
            return refuse(Narrow(shown) + " is a link (junction, mount point or symbolic link)");
        TLocalDescriptor sd;
        DWORD e = ReadDescriptor(h, &sd);
        if (e != ERROR_SUCCESS)
            return refuse("the permissions of " + Narrow(shown) + " cannot be read (" + ErrorText(e) + ")");
        held->security_.push_back(SecurityOf(sd.get(), false));
        held->security_.back().Path = Narrow(shown);
        if (last) held->descriptor_.reset(sd.release());
    }
    if (walk == TFolderWalk::FromFinalPath) {
        uint64_t volume = 0, index = 0, heldVolume = 0, heldIndex = 0;
        if (!FileIdOf(byPath.get(), &volume, &index) || !FileIdOf(held->Handle(), &heldVolume, &heldIndex))
            return refuse("it cannot be identified (" + ErrorText(GetLastError()) + ")");
        if (volume != heldVolume || index != heldIndex) return refuse("it was replaced while it was being opened");
    } else {
        // Walked as given: the launch path is built from it, so it must be
        // the folder's own full name (no short names, no substituted drive).
        std::wstring heldFinal = FinalPathOf(held->Handle(), &error);
        if (heldFinal.compare(0, 4, L"\\\\?\\") == 0) heldFinal.erase(0, 4);
        while (heldFinal.size() > 3 && heldFinal.back() == L'\\') heldFinal.pop_back();
        if (Upper(heldFinal) != Upper(final)) return refuse("it is not named by its own full name");
    }
    held->persistentAcls_ = VolumeHasAcls(held->handles_.front().get(), final.substr(0, 3));
    if (!held->persistentAcls_)
        for (TObjectSecurity& s : held->security_) s.Protected = false;
    return held;
}

TPrincipals CurrentPrincipals() {
    TPrincipals who;
    who.TestAdmin = TestAdminSid();
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return who;
    TKernelHandle token(raw);
    const DWORD denyOnly = SE_GROUP_USE_FOR_DENY_ONLY;
    std::vector<uint64_t> user = TokenInfo(token.get(), TokenUser);
    if (!user.empty()) {
        const SID_AND_ATTRIBUTES& u = reinterpret_cast<TOKEN_USER*>(user.data())->User;
        who.Own = SidText(u.Sid);
        (u.Attributes & denyOnly ? who.DenyOnly : who.User).push_back(who.Own);
    }
    std::vector<uint64_t> groups = TokenInfo(token.get(), TokenGroups);
    if (!groups.empty()) {
        const auto* g = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
        for (DWORD i = 0; i < g->GroupCount; ++i) {
            if (g->Groups[i].Attributes & denyOnly)
                who.DenyOnly.push_back(SidText(g->Groups[i].Sid));
            else if (g->Groups[i].Attributes & SE_GROUP_ENABLED)
                who.User.push_back(SidText(g->Groups[i].Sid));
        }
    }
    return who;
}

TFolderSafety JudgeHeldFolder(const THeldFolder& folder) {
    return Judge(folder.Security(), CurrentPrincipals(), {});
}

TFolderSafety JudgeFileInFolder(const THeldFolder& folder, const std::wstring& leaf) {
    return JudgeWithFile(folder, leaf, CurrentPrincipals(), false);
}

bool UserMay(const THeldFolder& folder, const std::wstring& leafOrEmpty, DWORD access) {
    if (!folder.PersistentAcls()) return true;  // no access control: anyone may
    PSECURITY_DESCRIPTOR sd = folder.Descriptor();
    TFileHandle file;
    TLocalDescriptor leafSd;
    if (!leafOrEmpty.empty()) {
        std::string problem;
        if (OpenLeaf(folder, leafOrEmpty, &file, &leafSd, &problem) != TLeaf::Found) return false;
        sd = leafSd.get();
    }
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &raw)) return false;
    TKernelHandle token(raw);
    // As a limited token has them: Administrators for deny entries only.
    std::vector<std::unique_ptr<void, TLocalFree>> owned;
    std::vector<SID_AND_ATTRIBUTES> disable;
    const std::string admins[] = {"S-1-5-32-544", TestAdminSid()};
    for (const std::string& text : admins) {
        PSID sid = nullptr;
        if (text.empty() || !ConvertStringSidToSidA(text.c_str(), &sid)) continue;
        owned.emplace_back(sid);
        disable.push_back({sid, 0});
    }
    HANDLE restricted = nullptr;
    if (!CreateRestrictedToken(token.get(), 0, static_cast<DWORD>(disable.size()), disable.data(), 0, nullptr, 0,
                               nullptr, &restricted))
        return false;
    TKernelHandle restrictedOwned(restricted);
    if (!DisablesAll(restricted, disable)) {
        // Wine leaves a token's user enabled when asked to disable it (the
        // test SID is the user's own): weigh the entries here instead.
        return Grants(SecurityOf(sd, false), CurrentPrincipals(), access);
    }
    HANDLE impersonation = nullptr;
    if (!DuplicateToken(restricted, SecurityIdentification, &impersonation)) return false;
    TKernelHandle impersonationOwned(impersonation);
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    MapGenericMask(&access, &mapping);
    std::vector<uint64_t> privileges(64);
    DWORD privilegesSize = static_cast<DWORD>(privileges.size() * 8);
    DWORD granted = 0;
    BOOL allowed = FALSE;
    if (!AccessCheck(sd, impersonation, access, &mapping, reinterpret_cast<PRIVILEGE_SET*>(privileges.data()),
                     &privilegesSize, &granted, &allowed))
        return false;
    return allowed && (granted & access) == access;
}

TFolderSafety CheckProgramFolder(const std::string& dir) {
    std::string why;
    std::unique_ptr<THeldFolder> held = THeldFolder::Open(dir, &why);
    if (!held) return Unjudged(why);
    return JudgeWithFile(*held, L"Stirpello.exe", CurrentPrincipals(), true);
}
