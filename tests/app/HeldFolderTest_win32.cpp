// The program folder held from the volume root down, and its verdict, on a
// tree that Linux made for the test (HeldFolder.PlantTree): folders of mode
// 0755 and 0777, symbolic links, a plain file. Under Wine every file is
// owned by the signed-in user, so the test SID decides admin-only there.
#include "elevate/FolderSafety_win32.h"

#include <sddl.h>

#include <string>

#include <gtest/gtest.h>

#include "fileutil/Handles_win32.h"
#include "fileutil/NtFile_win32.h"
#include "tests/support/TestSupport.h"

namespace {

// The planted tree, on the prefix's C: drive: the walk from the volume root
// then meets only the prefix's own folders, wherever the clone lies (a clone
// under /tmp would put an everyone-may-rename folder above it).
std::string Tree() { return "C:\\heldtree\\"; }

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

std::string OwnSid() {
    HANDLE raw = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw);
    TKernelHandle token(raw);
    unsigned char buffer[256];
    DWORD got = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &got)) return std::string();
    char* text = nullptr;
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
    std::string sid = text;
    LocalFree(text);
    return sid;
}

// STIRPELLO_TEST_ADMIN_SID for one scope: the user's own SID, as the Wine
// tests of the elevated path give it.
class TTestAdmin {
public:
    explicit TTestAdmin(bool on) { SetEnvironmentVariableA("STIRPELLO_TEST_ADMIN_SID", on ? OwnSid().c_str() : nullptr); }
    ~TTestAdmin() { SetEnvironmentVariableA("STIRPELLO_TEST_ADMIN_SID", nullptr); }
};

std::unique_ptr<THeldFolder> Hold(const std::string& dir) {
    std::string why;
    std::unique_ptr<THeldFolder> held = THeldFolder::Open(dir, &why);
    EXPECT_TRUE(held) << dir << ": " << why;
    return held;
}

DWORD RenameByPath(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), 0) ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

TEST(HeldFolder, RefusesWhatCannotBeHeld) {
    const std::string t = Tree();
    struct {
        std::string Dir;
        const char* ReasonHas;
    } const cases[] = {
        {"", "no folder"},
        {"\\\\server\\share\\Stirpello", "network share"},
        {"//server/share/Stirpello", "network share"},
        {"\\\\?\\" + t + "0755\\prog", "device or \\\\?\\ path"},
        {"\\\\.\\" + t + "0755\\prog", "device or \\\\?\\ path"},
        {"heldtree\\0755\\prog", "not a full path"},
        {t.substr(0, 2) + t.substr(3) + "0755\\prog", "not a full path"},  // "C:heldtree\...": drive-relative
        {t + "0755\\prog:stream", "names a stream"},
        {t + "0755\\missing", "cannot be opened"},
        {t + "file.txt", "a file, not a folder"},
        // Wine, like Windows, gives the final path with links resolved.
        {t + "linkdir\\prog", "reached through a link"},
        {t + "real\\proglink", "reached through a link"},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_FALSE(THeldFolder::Open(c.Dir, &why)) << c.Dir;
        EXPECT_NE(why.find(c.ReasonHas), std::string::npos) << c.Dir << ": " << why;
        TTestAdmin admin(true);
        TFolderSafety v = CheckProgramFolder(c.Dir);
        EXPECT_EQ(v.Verdict, TFolderVerdict::UserCan) << c.Dir;
        EXPECT_EQ(v.Reason, why) << c.Dir;
    }
}

TEST(HeldFolder, HoldsEveryFolderFromTheRoot) {
    const std::string dir = Tree() + "0755\\prog";
    for (const std::string& given : {dir, dir + "\\"}) {
        std::unique_ptr<THeldFolder> held = Hold(given);
        ASSERT_TRUE(held);
        EXPECT_EQ(held->FinalPath(), Wide(dir));
        const std::vector<TObjectSecurity>& path = held->Security();
        ASSERT_GE(path.size(), 3u);
        EXPECT_EQ(path.front().Path, dir.substr(0, 3));
        EXPECT_EQ(path.back().Path, dir);
        EXPECT_EQ(path[path.size() - 2].Path, Tree() + "0755");
        // The held handle is the folder the path names.
        TFileHandle byPath(CreateFileA(dir.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        uint64_t v1 = 0, i1 = 0, v2 = 0, i2 = 0;
        ASSERT_TRUE(FileIdOf(byPath.get(), &v1, &i1));
        ASSERT_TRUE(FileIdOf(held->Handle(), &v2, &i2));
        EXPECT_EQ(v1, v2);
        EXPECT_EQ(i1, i2);
        EXPECT_TRUE(held->PersistentAcls());
    }
}

// Held without FILE_SHARE_DELETE, no folder on the way can be renamed away.
TEST(HeldFolder, FoldersOnTheWayCannotBeRenamedWhileHeld) {
    const std::string t = Tree() + "rename\\";
    {
        std::unique_ptr<THeldFolder> held = Hold(t + "a\\b\\prog");
        ASSERT_TRUE(held);
        EXPECT_EQ(RenameByPath(t + "a", t + "a2"), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(RenameByPath(t + "a\\b", t + "a\\b2"), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(RenameByPath(t + "a\\b\\prog", t + "a\\b\\prog2"), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        // Files in it can still be made and renamed (by path, and relative to the handle).
        TFileHandle f(OpenRelative(held->Handle(), L"new.tmp", DELETE | FILE_WRITE_DATA, 0, FILE_CREATE,
                                   FILE_NON_DIRECTORY_FILE, nullptr));
        ASSERT_TRUE(f);
        EXPECT_TRUE(RenameRelative(f.get(), held->Handle(), L"new.txt", false, nullptr));
    }
    // Released, the same renames go through: the holding was what stopped them.
    EXPECT_EQ(RenameByPath(t + "a\\b", t + "a\\b2"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(RenameByPath(t + "a\\b2", t + "a\\b"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_NE(GetFileAttributesA((t + "a\\b\\prog\\new.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

// Mode 0755 reads as Everyone: read and execute, 0777 as Everyone: write and
// delete children; the owner is always the user.
TEST(HeldFolder, VerdictFromTheFolderModes) {
    const std::string t = Tree();
    struct {
        const char* Dir;
        bool TestAdmin;
        TFolderVerdict Verdict;
        const char* ReasonHas;
        bool MayCreate;  // UserMay(FILE_ADD_FILE)
    } const cases[] = {
        {"0755\\prog", true, TFolderVerdict::AdminOnly, "", false},
        {"0777\\prog", true, TFolderVerdict::UserCan, "Everyone (S-1-1-0) may delete or rename it", true},
        // Without the test SID, the user's own account owns every folder.
        {"0755\\prog", false, TFolderVerdict::UserCan, "owns it", true},
        {"0777\\prog", false, TFolderVerdict::UserCan, "Everyone (S-1-1-0)", true},
        // An ancestor of mode 0777 lets Everyone rename the folder above.
        {"open\\0755\\prog", true, TFolderVerdict::UserCan, "Everyone (S-1-1-0) may delete or rename", false},
    };
    for (const auto& c : cases) {
        TTestAdmin admin(c.TestAdmin);
        const std::string dir = t + c.Dir;
        std::unique_ptr<THeldFolder> held = Hold(dir);
        ASSERT_TRUE(held);
        TFolderSafety v = JudgeHeldFolder(*held);
        EXPECT_EQ(v.Verdict, c.Verdict) << c.Dir << " " << c.TestAdmin << ": " << v.Reason;
        EXPECT_NE(v.Reason.find(c.ReasonHas), std::string::npos) << c.Dir << ": " << v.Reason;
        EXPECT_EQ(v.Open, c.Verdict != TFolderVerdict::AdminOnly);
        TFolderSafety run = CheckProgramFolder(dir + "\\");
        EXPECT_EQ(run.Verdict, c.Verdict) << c.Dir << ": " << run.Reason;
        EXPECT_EQ(UserMay(*held, L"", FILE_ADD_FILE), c.MayCreate) << c.Dir << " " << c.TestAdmin;
        EXPECT_EQ(UserMay(*held, L"", GENERIC_READ), true) << c.Dir;
    }
}

// The files to be written, by their own modes: Stirpello.exe 0644,
// Stirpello.ini 0666, in a 0755 folder; a link in place of a file.
TEST(HeldFolder, VerdictOnTheFilesInIt) {
    TTestAdmin admin(true);
    std::unique_ptr<THeldFolder> held = Hold(Tree() + "0755\\prog");
    ASSERT_TRUE(held);
    EXPECT_EQ(JudgeFileInFolder(*held, L"Stirpello.exe").Verdict, TFolderVerdict::AdminOnly);
    EXPECT_EQ(JudgeFileInFolder(*held, L"missing.ini").Verdict, TFolderVerdict::AdminOnly);
    TFolderSafety ini = JudgeFileInFolder(*held, L"Stirpello.ini");
    EXPECT_EQ(ini.Verdict, TFolderVerdict::UserCan) << ini.Reason;
    EXPECT_NE(ini.Reason.find("Everyone (S-1-1-0) may"), std::string::npos) << ini.Reason;
    EXPECT_NE(ini.Reason.find("Stirpello.ini"), std::string::npos) << ini.Reason;
    // Under Wine a link to a file shows only in where its handle leads.
    TFolderSafety link = JudgeFileInFolder(*held, L"link.ini");
    EXPECT_EQ(link.Verdict, TFolderVerdict::UserCan) << link.Reason;
    EXPECT_NE(link.Reason.find("link.ini leads elsewhere"), std::string::npos) << link.Reason;
    TFolderSafety bad = JudgeFileInFolder(*held, L"..\\0777\\Stirpello.ini");
    EXPECT_NE(bad.Reason.find("not a plain file name"), std::string::npos) << bad.Reason;

    EXPECT_FALSE(UserMay(*held, L"Stirpello.exe", FILE_WRITE_DATA));
    EXPECT_TRUE(UserMay(*held, L"Stirpello.exe", FILE_READ_DATA));
    EXPECT_TRUE(UserMay(*held, L"Stirpello.ini", FILE_WRITE_DATA));
    EXPECT_FALSE(UserMay(*held, L"missing.ini", FILE_READ_DATA));
    EXPECT_FALSE(UserMay(*held, L"link.ini", FILE_READ_DATA));

    // The run's check takes the module's own entries in.
    std::unique_ptr<THeldFolder> openModule = Hold(Tree() + "module\\prog");
    ASSERT_TRUE(openModule);
    EXPECT_EQ(JudgeHeldFolder(*openModule).Verdict, TFolderVerdict::AdminOnly);
    TFolderSafety run = CheckProgramFolder(Tree() + "module\\prog");
    EXPECT_EQ(run.Verdict, TFolderVerdict::UserCan) << run.Reason;
    EXPECT_NE(run.Reason.find("Everyone (S-1-1-0) may"), std::string::npos) << run.Reason;
    EXPECT_NE(run.Reason.find("Stirpello.exe"), std::string::npos) << run.Reason;
}

TEST(NtFile, OpensAndRenamesRelativeToAFolder) {
    std::unique_ptr<THeldFolder> held = Hold(Tree() + "nt");
    ASSERT_TRUE(held);
    HANDLE dir = held->Handle();
    auto create = [dir](const wchar_t* name, const char* bytes) {
        TFileHandle f(OpenRelative(dir, name, DELETE | FILE_WRITE_DATA, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE,
                                   nullptr));
        DWORD n = 0;
        if (f) WriteFile(f.get(), bytes, static_cast<DWORD>(strlen(bytes)), &n, nullptr);
        return f;
    };
    TFileHandle a = create(L"a.tmp", "first");
    ASSERT_TRUE(a);
    NTSTATUS status = 0;
    // Names are case-insensitive, and an existing file is not created anew.
    EXPECT_FALSE(create(L"A.TMP", "again"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(RenameRelative(a.get(), dir, L"target.txt", false, &status)) << std::hex << status;
    TFileHandle b = create(L"b.tmp", "second");
    ASSERT_TRUE(b);
    EXPECT_FALSE(RenameRelative(b.get(), dir, L"target.txt", false, &status));
    EXPECT_EQ(static_cast<uint32_t>(status), 0xC0000035u);  // STATUS_OBJECT_NAME_COLLISION
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    a.reset();  // a file that is open cannot be replaced
    EXPECT_TRUE(RenameRelative(b.get(), dir, L"target.txt", true, &status)) << std::hex << status;
    b.reset();
    EXPECT_EQ(testsupport::ReadFile(Tree() + "nt\\target.txt"), "second");

    // A full NT path with no root; a missing name sets the status.
    const std::wstring nt = L"\\??\\" + held->FinalPath() + L"\\target.txt";
    TFileHandle byNtPath(OpenRelative(nullptr, nt, FILE_READ_DATA, FILE_SHARE_READ, FILE_OPEN, 0, &status));
    EXPECT_TRUE(byNtPath);
    EXPECT_EQ(OpenRelative(dir, L"missing", FILE_READ_DATA, 0, FILE_OPEN, 0, &status), INVALID_HANDLE_VALUE);
    EXPECT_EQ(static_cast<uint32_t>(status), 0xC0000034u);  // STATUS_OBJECT_NAME_NOT_FOUND
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // A link to a folder shows in the listing (a handle on it shows the
    // target under Wine).
    DWORD attributes = 0;
    ASSERT_TRUE(EntryAttributes(dir, L"link", &attributes));
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY),
              static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    ASSERT_TRUE(EntryAttributes(dir, L"TARGET.TXT", &attributes));
    EXPECT_FALSE(attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(EntryAttributes(dir, L"missing", &attributes));
    EXPECT_FALSE(EntryAttributes(dir, L"target.*", &attributes));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}
