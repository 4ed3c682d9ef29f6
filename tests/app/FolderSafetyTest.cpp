// The folder verdict from tables of access lists given as SDDL: parsed here
// natively, and under Wine also by Windows' own SDDL reader.
#include "elevate/FolderSafety.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#ifdef _WIN32
#include "elevate/FolderSafety_win32.h"
#endif

namespace {

// The little of SDDL the tables use: O:owner, D:[P][AI] and (A|D;flags;rights;;;sid).
std::string Alias(const std::string& s) {
    static const std::map<std::string, std::string> aliases = {
        {"BA", "S-1-5-32-544"}, {"SY", "S-1-5-18"}, {"BU", "S-1-5-32-545"}, {"AU", "S-1-5-11"},
        {"WD", "S-1-1-0"},      {"CO", "S-1-3-0"},  {"BO", "S-1-5-32-551"}, {"OW", "S-1-3-4"}};
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
    size_t g = sddl.find("G:");
    size_t d = sddl.find("D:");
    if (o != std::string::npos) s.OwnerSid = Alias(sddl.substr(o + 2, (g == std::string::npos ? d : g) - o - 2));
    if (sddl.compare(d + 2, 5, "NO_AC") == 0) {
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

const char* const kTI = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const std::string kUserSid = "S-1-5-21-1-2-3-1001";
const std::string kOtherUser = "S-1-5-21-1-2-3-1002";

// A standard user's token: own account, Everyone, Users, INTERACTIVE,
// Authenticated Users (Administrators, deny-only, is left out).
TPrincipals User() {
    return {{kUserSid, "S-1-1-0", "S-1-5-32-545", "S-1-5-4", "S-1-5-11"}, {"S-1-5-32-544"}, "", kUserSid};
}

// C:\ as Windows sets it up: users may create folders there, and what they
// create they may change (inherit-only).
const std::string kDriveRoot = std::string("O:") + kTI +
    "D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)";
const std::string kProgramFiles = std::string("O:") + kTI + "D:PAI(A;;FA;;;" + kTI + ")(A;CIIO;GA;;;" + kTI +
    ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
    "(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;S-1-15-2-1)(A;OICIIO;GXGR;;;S-1-15-2-1)";
const std::string kInstalled =
    "O:BAD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;OICIIOID;GA;;;CO)";
// What a folder made under C:\ inherits from it.
const std::string kUnderRoot =
    "O:BAD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)"
    "(A;OICIIOID;SDGXGWGR;;;AU)";
const std::string kAdminFolder = "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";

struct TCase {
    const char* Name;
    std::vector<std::string> Path;  // C:\ first, the program folder last
    TFolderVerdict Verdict;
    const char* Who;        // the SID the reason names, and what it may do
    const char* What;
    const char* OthersHas;  // part of Others, "" for none
};

const std::vector<TCase>& Cases() {
    static const std::vector<TCase> cases = {
        {"installed in Program Files", {kDriveRoot, kProgramFiles, kInstalled}, TFolderVerdict::AdminOnly, "", "", ""},
        {"Users may modify the folder", {kDriveRoot, kAdminFolder,
          "O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;BU)"},
         TFolderVerdict::UserCan, "S-1-5-32-545", "may delete or rename it", ""},
        {"made under a drive root", {kDriveRoot, kUnderRoot}, TFolderVerdict::UserCan,
         "S-1-5-11", "may delete or rename it", ""},
        {"Users may create folders only", {kDriveRoot, kAdminFolder, "O:BAD:P(A;OICI;FA;;;BA)(A;;0x4;;;BU)"},
         TFolderVerdict::UserCan, "S-1-5-32-545", "may create folders in it", ""},
        {"another account only", {kDriveRoot, kProgramFiles, "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;" + kOtherUser + ")"},
         TFolderVerdict::OthersOnly, "S-1-5-21-1-2-3-1002", "has full control of it", "S-1-5-21-1-2-3-1002"},
        {"Backup Operators may write", {kDriveRoot, kProgramFiles, "O:BAD:P(A;OICI;FA;;;BA)(A;;0x2;;;BO)"},
         TFolderVerdict::OthersOnly, "S-1-5-32-551", "may create files in it", "S-1-5-32-551"},
        {"the user and another account", {kDriveRoot, kProgramFiles,
          "O:BAD:P(A;OICI;FA;;;BA)(A;;FA;;;" + kOtherUser + ")(A;;0x2;;;BU)"},
         TFolderVerdict::UserCan, "S-1-5-32-545", "may create files in it", "S-1-5-21-1-2-3-1002"},
        // Higher up: whoever may rename a folder on the way may swap the path.
        {"Users may delete a folder above", {kDriveRoot, "O:BAD:P(A;OICI;FA;;;BA)(A;;0x1301a9;;;BU)", kInstalled},
         TFolderVerdict::UserCan, "S-1-5-32-545", "may delete or rename C:\\Apps", ""},
        {"Everyone may delete children of the folder above", {kDriveRoot, kAdminFolder + "(A;;0x1200e9;;;WD)",
          kInstalled}, TFolderVerdict::UserCan, "S-1-1-0", "may delete or rename the folders in C:\\Apps", ""},
        {"another account may change a folder's permissions higher up",
         {kDriveRoot + "(A;;WD;;;" + kOtherUser + ")", kProgramFiles, kInstalled}, TFolderVerdict::OthersOnly,
         "S-1-5-21-1-2-3-1002", "may change the permissions of C:\\", "S-1-5-21-1-2-3-1002"},
        {"create rights and inherit-only entries above", {kDriveRoot, kAdminFolder + "(A;;0x6;;;BU)(A;OICIIO;FA;;;BU)",
          kInstalled}, TFolderVerdict::AdminOnly, "", "", ""},
        // Owners may always change permissions.
        {"owned by the user", {kDriveRoot, kProgramFiles, "O:" + kUserSid + "D:P(A;OICI;FA;;;BA)"},
         TFolderVerdict::UserCan, "S-1-5-21-1-2-3-1001", "owns it", ""},
        {"the user's own account is not trusted", {kDriveRoot, kProgramFiles,
          "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;" + kUserSid + ")"}, TFolderVerdict::UserCan,
         "S-1-5-21-1-2-3-1001", "has full control of it", ""},
        {"a folder above owned by another account", {kDriveRoot, "O:" + kOtherUser + "D:P(A;;FA;;;BA)", kInstalled},
         TFolderVerdict::OthersOnly, "S-1-5-21-1-2-3-1002", "owns C:\\Apps", "S-1-5-21-1-2-3-1002"},
        // New files made in the program folder would let users change them.
        {"inherit-only write for new files", {kDriveRoot, kProgramFiles, "O:BAD:P(A;OICI;FA;;;BA)(A;OIIO;FW;;;BU)"},
         TFolderVerdict::UserCan, "S-1-5-32-545", "may change the files created in it", ""},
        {"inherit-only creator owner, and deny entries", {kDriveRoot, kProgramFiles,
          "O:BAD:P(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(D;;FA;;;WD)"}, TFolderVerdict::AdminOnly, "", "", ""},
        {"creator owner in an effective entry", {kDriveRoot, kProgramFiles, "O:BAD:P(A;OICI;FA;;;BA)(A;;FA;;;CO)"},
         TFolderVerdict::OthersOnly, "S-1-3-0", "has full control of it", "S-1-3-0"},
        {"generic write on the folder", {kDriveRoot, kProgramFiles, "O:BAD:P(A;OICI;FA;;;BA)(A;;GW;;;BU)"},
         TFolderVerdict::UserCan, "S-1-5-32-545", "may write in it", ""},
        {"no access list", {kDriveRoot, kProgramFiles, "O:BAD:NO_ACCESS_CONTROL"}, TFolderVerdict::UserCan,
         "S-1-1-0", "may change it: it has no access control", ""},
        {"no access list above", {kDriveRoot, "O:BAD:NO_ACCESS_CONTROL", kInstalled}, TFolderVerdict::UserCan,
         "S-1-1-0", "may change C:\\Apps: it has no access control", ""},
    };
    return cases;
}

std::vector<TObjectSecurity> PathOf(const TCase& c, const std::function<TObjectSecurity(const std::string&)>& read) {
    const char* const names[] = {"C:\\", "C:\\Apps", "C:\\Apps\\Stirpello"};
    std::vector<TObjectSecurity> path;
    for (size_t i = 0; i < c.Path.size(); ++i) {
        path.push_back(read(c.Path[i]));
        path.back().Path = i + 1 == c.Path.size() ? "C:\\Apps\\Stirpello" : names[i];
    }
    return path;
}

void Check(const TCase& c, const TFolderSafety& v, const char* how) {
    const std::string context = std::string(c.Name) + " (" + how + "): " + v.Reason + " | " + v.Others;
    EXPECT_EQ(v.Verdict, c.Verdict) << context;
    EXPECT_EQ(v.Open, c.Verdict != TFolderVerdict::AdminOnly) << context;
    EXPECT_NE(v.Reason.find(c.Who), std::string::npos) << context;
    EXPECT_NE(v.Reason.find(c.What), std::string::npos) << context;
    // A group the user is in (Users, Everyone) takes in other users too:
    // they are named among the others.
    std::string others = c.OthersHas;
    if (others.empty() && c.Verdict == TFolderVerdict::UserCan && c.Who != kUserSid) others = c.Who;
    if (!others.empty()) {
        EXPECT_NE(v.Others.find(others), std::string::npos) << context;
    } else {
        EXPECT_EQ(v.Others, "") << context;
    }
    if (c.Verdict == TFolderVerdict::AdminOnly) {
        EXPECT_EQ(v.Reason, "") << context;
    }
}

}  // namespace

TEST(FolderSafety, VerdictFromTheAccessLists) {
    for (const TCase& c : Cases()) Check(c, JudgeFolderPath(PathOf(c, Parse), User()), "parsed here");
}

// Under Wine every file is owned by the signed-in user: with that SID taken
// as Administrators, it is trusted and no longer counts as the user's.
TEST(FolderSafety, TheTestAdministratorSid) {
    const std::string owned = "O:" + kUserSid + "D:(A;OICI;FA;;;" + kUserSid + ")(A;OICI;FA;;;SY)";
    TPrincipals asAdmin = User();
    asAdmin.TestAdmin = kUserSid;
    EXPECT_EQ(JudgeFolderPath({Parse(owned + "(A;;0x1200a9;;;WD)"), Parse(owned + "(A;;0x1200a9;;;WD)")}, asAdmin)
                  .Verdict,
              TFolderVerdict::AdminOnly);
    TFolderSafety open = JudgeFolderPath({Parse(owned + "(A;;0x1200a9;;;WD)"), Parse(owned + "(A;;0x1301ff;;;WD)")},
                                         asAdmin);
    EXPECT_EQ(open.Verdict, TFolderVerdict::UserCan) << open.Reason;
    EXPECT_NE(open.Reason.find("S-1-1-0 may delete or rename it"), std::string::npos) << open.Reason;
    // Without it, the user's own account is just another untrusted one.
    EXPECT_EQ(JudgeFolderPath({Parse(owned), Parse(owned)}, User()).Verdict, TFolderVerdict::UserCan);
}

// An admin-only folder whose files to be written give others rights of their own.
TEST(FolderSafety, TheFilesOwnEntriesCount) {
    const std::vector<TObjectSecurity> path = {Parse(kDriveRoot), Parse(kProgramFiles), Parse(kInstalled)};
    struct {
        const char* Sddl;
        TFolderVerdict Verdict;
        const char* ReasonHas;
    } const files[] = {
        {"O:BAD:(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)", TFolderVerdict::AdminOnly, ""},
        {"O:BAD:(A;;FW;;;BU)(A;ID;FA;;;BA)", TFolderVerdict::UserCan, "S-1-5-32-545 may write Stirpello.ini"},
        {"O:BAD:(A;;0x4;;;AU)(A;ID;FA;;;BA)", TFolderVerdict::UserCan, "S-1-5-11 may write Stirpello.ini"},
        {"O:BAD:(A;;SD;;;S-1-5-21-1-2-3-1002)", TFolderVerdict::OthersOnly, "may delete or rename Stirpello.ini"},
        {"O:S-1-5-21-1-2-3-1001D:(A;ID;FA;;;BA)", TFolderVerdict::UserCan, "owns Stirpello.ini"},
        // Rights of a file that do not change it.
        {"O:BAD:(A;;0x1200a9;;;WD)(A;;0x100;;;BU)(A;OIIO;FA;;;BU)", TFolderVerdict::AdminOnly, ""},
    };
    for (const auto& f : files) {
        TObjectSecurity file = Parse(f.Sddl);
        file.Path = "Stirpello.ini";
        for (const TFolderSafety& v : {JudgeFile(file, User()), JudgeFolderPath(path, User(), {file})}) {
            EXPECT_EQ(v.Verdict, f.Verdict) << f.Sddl << ": " << v.Reason;
            EXPECT_NE(v.Reason.find(f.ReasonHas), std::string::npos) << f.Sddl << ": " << v.Reason;
        }
    }
}

TEST(FolderSafety, CombinedVerdicts) {
    TFolderSafety admin;
    TFolderSafety others{TFolderVerdict::OthersOnly, true, "X (S-1-5-32-551) may create files in it",
                         "X (S-1-5-32-551)"};
    TFolderSafety unjudged = Unjudged("it is on a network share");
    EXPECT_EQ(unjudged.Verdict, TFolderVerdict::UserCan);
    EXPECT_TRUE(unjudged.Open);
    EXPECT_EQ(Combine(admin, admin).Verdict, TFolderVerdict::AdminOnly);
    EXPECT_EQ(Combine(admin, others).Reason, others.Reason);
    TFolderSafety both = Combine(others, unjudged);
    EXPECT_EQ(both.Verdict, TFolderVerdict::UserCan);
    EXPECT_EQ(both.Reason, others.Reason + "; it is on a network share");
    EXPECT_EQ(both.Others, "X (S-1-5-32-551), perhaps others");
    EXPECT_EQ(Combine(others, others).Others, "X (S-1-5-32-551)");
}

namespace {

// What the user's token may do, weighed here for where Wine cannot make a
// restricted token that holds the user's own SID for deny entries only.
struct TGrantCase {
    std::string Sddl;
    uint32_t Access;
    bool Granted;
};

const std::vector<TGrantCase>& GrantCases() {
    const uint32_t write = 0x2, writeDac = 0x40000;
    static const std::vector<TGrantCase> cases = {
        {"O:BAD:(A;;FA;;;BU)", write, true},
        {"O:BAD:(A;;0x1200a9;;;BU)", write, false},
        {"O:BAD:(A;;FA;;;BA)", write, false},  // Administrators: for deny entries only
        {"O:BAD:(D;;0x2;;;BA)(A;;FA;;;WD)", write, false},
        {"O:BAD:(A;;FA;;;WD)(D;;0x2;;;BU)", write, true},  // granted before the denial
        {"O:BAD:(D;;0x2;;;BU)(A;;FA;;;WD)", write, false},
        {"O:BAD:(A;OIIO;FA;;;BU)", write, false},
        {"O:BAD:(A;;FA;;;CO)", write, false},
        {"O:BAD:(A;;FW;;;BU)", 0x40000000, true},  // GENERIC_WRITE asked
        {"O:BAD:(A;;GW;;;BU)", write, true},
        {"O:" + kUserSid + "D:(A;;0x1200a9;;;BU)", writeDac, true},  // an owner may change the permissions
        {"O:" + kUserSid + "D:(A;;0x1200a9;;;BU)", write, false},
        {"O:" + kUserSid + "D:(A;;0x1200a9;;;OW)", writeDac, false},  // unless OWNER RIGHTS says otherwise
        {"O:BAD:(A;;FA;;;" + kUserSid + ")", write, true},
    };
    return cases;
}

}  // namespace

TEST(FolderSafety, WhatTheUsersTokenIsGranted) {
    for (const TGrantCase& c : GrantCases())
        EXPECT_EQ(Grants(Parse(c.Sddl), User(), c.Access), c.Granted) << c.Sddl << " " << std::hex << c.Access;
    EXPECT_TRUE(Grants(Parse("O:BAD:NO_ACCESS_CONTROL"), User(), 0x2));
    // The test SID is the user's own, taken as Administrators: deny-only.
    TPrincipals asAdmin = User();
    asAdmin.TestAdmin = kUserSid;
    EXPECT_FALSE(Grants(Parse("O:BAD:(A;;FA;;;" + kUserSid + ")"), asAdmin, 0x2));
    EXPECT_FALSE(Grants(Parse("O:" + kUserSid + "D:(A;;0x1200a9;;;WD)"), asAdmin, 0x40000));
    EXPECT_TRUE(Grants(Parse("O:" + kUserSid + "D:(A;;0x1301ff;;;WD)"), asAdmin, 0x2));
}

#ifdef _WIN32
TEST(FolderSafety, GrantsFromWindowsOwnSddlReader) {
    for (const TGrantCase& c : GrantCases())
        EXPECT_EQ(Grants(SecurityFromSddl(c.Sddl), User(), c.Access), c.Granted) << c.Sddl;
}

TEST(FolderSafety, VerdictFromWindowsOwnSddlReader) {
    for (const TCase& c : Cases()) {
        bool nullDacl = false;
        for (const std::string& s : c.Path) nullDacl |= s.find("NO_ACCESS_CONTROL") != std::string::npos;
        if (nullDacl) continue;  // below, as Wine's SDDL reader does not take it
        Check(c, JudgeFolderPath(PathOf(c, SecurityFromSddl), User()), "Windows");
    }
}

// A descriptor without a DACL lets everyone do everything.
TEST(FolderSafety, NullDaclFromWindows) {
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    TObjectSecurity s = SecurityOf(&sd);
    EXPECT_FALSE(s.Protected);
    TFolderSafety v = JudgeFolderPath({Parse(kDriveRoot), s}, User());
    EXPECT_EQ(v.Verdict, TFolderVerdict::UserCan) << v.Reason;
}
#endif
