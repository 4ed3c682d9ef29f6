// The open-folder verdict from a table of access lists given as SDDL: parsed
// here natively, and under Wine also by Windows' own SDDL reader.
#include "app/FolderSafety.h"

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifdef _WIN32
#include "app/FolderSafety_win32.h"
#endif

namespace {

// The little of SDDL the table uses: O:owner, D:[P][AI] and (A|D;flags;rights;;;sid).
std::string Alias(const std::string& s) {
    static const std::map<std::string, std::string> aliases = {
        {"BA", "S-1-5-32-544"}, {"SY", "S-1-5-18"}, {"BU", "S-1-5-32-545"}, {"AU", "S-1-5-11"},
        {"WD", "S-1-1-0"},      {"CO", "S-1-3-0"}};
    auto it = aliases.find(s);
    return it == aliases.end() ? s : it->second;
}

uint32_t Rights(const std::string& r) {
    if (r.rfind("0x", 0) == 0) return static_cast<uint32_t>(std::stoul(r, nullptr, 16));
    static const std::map<std::string, uint32_t> letters = {
        {"FA", 0x1f01ff}, {"FR", 0x120089}, {"FW", 0x120116}, {"FX", 0x1200a0},
        {"GA", 0x10000000}, {"GW", 0x40000000}, {"GR", 0x80000000u}, {"GX", 0x20000000},
        {"WD", 0x40000}, {"WO", 0x80000}, {"SD", 0x10000}};
    uint32_t mask = 0;
    for (size_t i = 0; i < r.size(); i += 2) mask |= letters.at(r.substr(i, 2));
    return mask;
}

TObjectSecurity Parse(const std::string& sddl) {
    TObjectSecurity s;
    size_t o = sddl.find("O:");
    size_t d = sddl.find("D:");
    if (o != std::string::npos) s.OwnerSid = Alias(sddl.substr(o + 2, d - o - 2));
    if (sddl.compare(d + 2, 5, "NO_AC") == 0 || sddl.compare(d + 2, 4, "NULL") == 0) {
        s.Protected = false;
        return s;
    }
    for (size_t p = sddl.find('(', d); p != std::string::npos; p = sddl.find('(', p + 1)) {
        std::string body = sddl.substr(p + 1, sddl.find(')', p) - p - 1);
        std::vector<std::string> f;
        for (size_t a = 0, b; (b = body.find(';', a)) != std::string::npos || a <= body.size(); a = b + 1) {
            f.push_back(body.substr(a, b == std::string::npos ? std::string::npos : b - a));
            if (b == std::string::npos) break;
        }
        TAce ace;
        ace.Allow = f.at(0) == "A";
        ace.InheritOnly = f.at(1).find("IO") != std::string::npos;
        ace.ToFiles = f.at(1).find("OI") != std::string::npos;
        ace.Mask = Rights(f.at(2));
        ace.Sid = Alias(f.at(5));
        s.Aces.push_back(ace);
    }
    return s;
}

struct TCase {
    const char* Name;
    const char* Folder;
    const char* Parent;
    bool Open;
    const char* ReasonHas;  // part of the reason when open
};

const char* const kAdminOnly = "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
const char* const kUsersModify = "O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;BU)";
// What a folder made under a drive root inherits.
const char* const kDriveRoot =
    "O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)"
    "(A;OICIIOID;SDGXGWGR;;;AU)";
const char* const kRootItself =
    "O:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;CI;0x4;;;BU)(A;CIIO;0x2;;;BU)"
    "(A;OICIIO;GA;;;CO)";

const TCase kCases[] = {
    {"admin only", kAdminOnly, kAdminOnly, false, ""},
    {"Users Modify", kUsersModify, kAdminOnly, true, "S-1-5-32-545"},
    {"Authenticated Users from a drive root", kDriveRoot, kRootItself, true, "S-1-5-11"},
    {"Everyone write on the parent", kAdminOnly, "O:BAD:(A;;FA;;;BA)(A;;0x1301ff;;;WD)", true,
     "may delete or rename the folder through its parent"},
    {"no ACL", "O:BAD:NO_ACCESS_CONTROL", kAdminOnly, true, "no access control"},
    {"Users may create folders only", "O:BAD:P(A;OICI;FA;;;BA)(A;;0x4;;;BU)", kAdminOnly, true,
     "create folders"},
    {"inherit-only write for new files", "O:BAD:P(A;OICI;FA;;;BA)(A;OIIO;FW;;;BU)", kAdminOnly, true,
     "change the files"},
    {"creator owner and deny entries", "O:BAD:P(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(D;;FA;;;WD)", kAdminOnly,
     false, ""},
    {"owned by a user", "O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;BA)", kAdminOnly, true, "owned by"},
    {"parent owned by a user", kAdminOnly, "O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;BA)", true,
     "its parent folder is owned by S-1-5-21-1-2-3-1001"},
};

void Check(const TCase& c, const TFolderSafety& v, const char* how) {
    EXPECT_EQ(v.Open, c.Open) << c.Name << " (" << how << "): " << v.Reason;
    if (c.Open) {
        EXPECT_NE(v.Reason.find(c.ReasonHas), std::string::npos) << c.Name << " (" << how << "): " << v.Reason;
    }
}

}  // namespace

TEST(FolderSafety, VerdictFromTheAccessLists) {
    for (const TCase& c : kCases) Check(c, JudgeProgramFolder(Parse(c.Folder), Parse(c.Parent)), "parsed here");
}

TEST(FolderSafety, TheElevatedUsersOwnAccountIsAnAdministrator) {
    const std::string user = "S-1-5-21-1-2-3-1001";
    TObjectSecurity own = Parse("O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;S-1-5-21-1-2-3-1001)(A;OICI;FA;;;BA)");
    EXPECT_FALSE(JudgeProgramFolder(own, Parse(kAdminOnly), {user}).Open);
    EXPECT_TRUE(JudgeProgramFolder(own, Parse(kAdminOnly)).Open);
}

// An admin-only folder whose module file gives users write rights of its own.
TEST(FolderSafety, TheModuleFilesOwnEntriesCount) {
    EXPECT_FALSE(JudgeModuleFile("Stirpello.exe", Parse("O:BAD:(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)")).Open);
    TFolderSafety v = JudgeModuleFile("Stirpello.exe", Parse("O:BAD:(A;;FW;;;BU)(A;ID;FA;;;BA)"));
    EXPECT_TRUE(v.Open);
    EXPECT_NE(v.Reason.find("S-1-5-32-545"), std::string::npos) << v.Reason;
    EXPECT_NE(v.Reason.find("may change Stirpello.exe"), std::string::npos) << v.Reason;
}

#ifdef _WIN32
TEST(FolderSafety, VerdictFromWindowsOwnSddlReader) {
    for (const TCase& c : kCases) {
        if (std::string(c.Folder).find("NO_ACCESS_CONTROL") != std::string::npos) continue;  // not valid SDDL
        Check(c, JudgeProgramFolder(SecurityFromSddl(c.Folder), SecurityFromSddl(c.Parent)), "Windows");
    }
}
#endif
