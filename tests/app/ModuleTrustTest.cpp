// What runs is what was checked: the module installed and started through
// handles, with files swapped, linked and held at the moments that matter.
#include "app/ModuleTrust_win32.h"

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/ModuleDownload_win32.h"
#include "tests/support/StandInScanner_win32.h"
#include "tests/support/TestSupport.h"

using testsupport::ExeDir;
using testsupport::ReadFile;
using testsupport::TScratchDir;
using testsupport::WriteFile;

namespace {

std::string Genuine() { return ReadFile(ExeDir() + "update_module.exe"); }
// The same program with other bytes: it runs and records itself, but it is
// not the publisher's module.
std::string Forged() { return ReadFile(ExeDir() + "update_module_stub.exe"); }

bool Missing(const std::string& path) { return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> TempFiles(const TScratchDir& dir) {
    std::vector<std::string> found;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir.Path() + "*.tmp").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return found;
    do found.push_back(fd.cFileName);
    while (FindNextFileA(h, &fd));
    FindClose(h);
    return found;
}

// Every way a user who can write the folder would swap path: opening it for
// writing, renaming it away and, with del, deleting it. What succeeded.
std::vector<std::string> TrySwap(const std::string& path, const std::string& elsewhere, bool del) {
    std::vector<std::string> done;
    HANDLE w = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (w != INVALID_HANDLE_VALUE) {
        done.push_back("opened for writing");
        CloseHandle(w);
    }
    if (MoveFileExA(path.c_str(), elsewhere.c_str(), 0)) done.push_back("renamed");
    if (del && DeleteFileA(path.c_str())) done.push_back("deleted");
    return done;
}

struct Trust : ::testing::Test {
    TScratchDir dir{"moduletrust"};
    std::vector<std::string> notes;
    TTrustNote note = [this](const std::string& n) { notes.push_back(n); };
    std::string source = dir / "Download\\Stirpello.exe";
    std::string target = dir / "Stirpello.exe";
    void SetUp() override {
        ASSERT_GT(Genuine().size(), 1000u);
        CreateDirectoryA((dir / "Download").c_str(), nullptr);
        WriteFile(source, Genuine());
        WriteFile(target, "old module");
    }
};

}  // namespace

TEST_F(Trust, GenuineModuleIsInstalledAndNoTemporaryFileStays) {
    EXPECT_EQ(InstallModule(source, target, UpdateModuleSha256, note), "");
    EXPECT_TRUE(ReadFile(target) == Genuine());
    EXPECT_TRUE(TempFiles(dir).empty());
}

TEST_F(Trust, ForgedSourceIsNeverWritten) {
    WriteFile(source, Forged());
    std::string why = InstallModule(source, target, UpdateModuleSha256, note);
    EXPECT_NE(why.find("is not the publisher's module (SHA-256 "), std::string::npos) << why;
    EXPECT_EQ(ReadFile(target), "old module");
    EXPECT_TRUE(TempFiles(dir).empty());
}

// Between the check and the copy, whoever can write the folder tries to
// swap the download: every way fails while the source is held, and what is
// installed is what was hashed.
TEST_F(Trust, SourceSwappedAfterItsCheckIsNotWhatGetsInstalled) {
    std::vector<std::string> swaps;
    TTrustHooks hooks;
    hooks.AfterSourceChecked = [&] { swaps = TrySwap(source, dir / "moved.exe", true); };
    EXPECT_EQ(InstallModule(source, target, UpdateModuleSha256, note, hooks), "");
    EXPECT_TRUE(swaps.empty()) << swaps.front();
    EXPECT_TRUE(ReadFile(target) == Genuine());
}

TEST_F(Trust, HardLinkedTargetOrSourceIsRefused) {
    ASSERT_TRUE(CreateHardLinkA((dir / "elsewhere.exe").c_str(), target.c_str(), nullptr));
    std::string why = InstallModule(source, target, UpdateModuleSha256, note);
    EXPECT_NE(why.find("hard link"), std::string::npos) << why;
    EXPECT_EQ(ReadFile(dir / "elsewhere.exe"), "old module");

    DeleteFileA((dir / "elsewhere.exe").c_str());
    ASSERT_TRUE(CreateHardLinkA((dir / "other.exe").c_str(), source.c_str(), nullptr));
    why = InstallModule(source, target, UpdateModuleSha256, note);
    EXPECT_NE(why.find("hard link"), std::string::npos) << why;
}

// A scanner that holds every new .exe and .tmp for a second, as security
// software does: the copy waits for it, logs why, and leaves nothing behind.
TEST_F(Trust, ScannerHoldingFreshFilesIsWaitedOut) {
    testsupport::TStandInScanner scanner(dir.Path(), 1000, {".exe", ".tmp"});
    Sleep(300);  // it has seen and held the files already there
    EXPECT_EQ(InstallModule(source, target, UpdateModuleSha256, note), "");
    EXPECT_TRUE(ReadFile(target) == Genuine());
    EXPECT_TRUE(TempFiles(dir).empty());
    EXPECT_GT(scanner.Holds(), 0);
}

TEST_F(Trust, WhatStartsAndWithWhichRights) {
    struct Case {
        const char* name;
        bool genuine, mustBeGenuine, folderOpen;
        bool started, unelevated;
        const char* rights;  // in the module's own record
    };
    const Case cases[] = {
        {"genuine, just installed", true, true, false, true, false, "[elevated]"},
        {"genuine in an open folder", true, true, true, true, true, "[not elevated]"},
        {"another module where the installed one should be", false, true, false, false, false, nullptr},
        {"another current module, admin-only folder", false, false, false, true, false, "[elevated]"},
        {"another current module, open folder", false, false, true, true, true, "[not elevated]"},
    };
    for (const Case& c : cases) {
        DeleteFileA((dir / "UpdateModuleLaunched.txt").c_str());
        WriteFile(target, c.genuine ? Genuine() : Forged());
        TLaunchResult r = LaunchModule(target, dir.Path(), UpdateModuleSha256, c.mustBeGenuine, c.folderOpen);
        EXPECT_EQ(r.Started, c.started) << c.name << ": " << r.Error;
        EXPECT_EQ(r.Unelevated, c.unelevated) << c.name;
        if (c.started) {
            std::string record = testsupport::LaunchRecord(dir);
            EXPECT_NE(record.find(target + " "), std::string::npos) << c.name << ": " << record;
            EXPECT_NE(record.find(c.rights), std::string::npos) << c.name << ": " << record;
        } else {
            EXPECT_NE(r.Error.find("is not the module that was installed"), std::string::npos) << r.Error;
            Sleep(300);
            EXPECT_TRUE(Missing(dir / "UpdateModuleLaunched.txt")) << c.name;
        }
        Sleep(200);  // the stub has ended and let go of its file
    }
}

TEST_F(Trust, ModuleSwappedBeforeItStartsIsHeld) {
    WriteFile(target, Genuine());
    std::vector<std::string> swaps;
    TTrustHooks hooks;
    hooks.BeforeStart = [&] { swaps = TrySwap(target, dir / "moved.exe", false); };
    TLaunchResult r = LaunchModule(target, dir.Path(), UpdateModuleSha256, true, false, hooks);
    EXPECT_TRUE(r.Started) << r.Error;
    EXPECT_TRUE(swaps.empty()) << swaps.front();
    EXPECT_NE(testsupport::LaunchRecord(dir).find("[elevated]"), std::string::npos);
}

// A module that asks for administrator rights: the shell gets its full path
// and the program folder, so that Windows' prompt names the module's signer;
// a declined prompt is a failed start with a reason.
TEST_F(Trust, ModuleAskingForRightsGoesThroughWindowsPrompt) {
    WriteFile(target, Genuine());
    for (DWORD answer : {DWORD(ERROR_SUCCESS), DWORD(ERROR_CANCELLED)}) {
        std::wstring file, folder;
        TTrustHooks hooks;
        hooks.ElevationRequired = true;
        hooks.Elevate = [&](SHELLEXECUTEINFOW& sei) {
            file = sei.lpFile;
            folder = sei.lpDirectory;
            SetLastError(answer);
            return answer == ERROR_SUCCESS;
        };
        TLaunchResult r = LaunchModule(target, dir.Path(), UpdateModuleSha256, true, false, hooks);
        EXPECT_EQ(r.Started, answer == ERROR_SUCCESS) << r.Error;
        EXPECT_EQ(file.size(), target.size());
        EXPECT_EQ(std::string(file.begin(), file.end()), target);
        EXPECT_EQ(std::string(folder.begin(), folder.end()), dir.Path());
        if (answer == ERROR_CANCELLED) {
            EXPECT_EQ(r.Error, "administrator rights were not given for it");
        }
    }
}

// From a folder others can change, a module that asks for administrator
// rights is not handed to the shell for them, genuine or not.
TEST_F(Trust, ModuleAskingForRightsFromAnOpenFolderIsNotElevated) {
    for (bool genuine : {true, false}) {
        WriteFile(target, genuine ? Genuine() : Forged());
        bool elevated = false;
        TTrustHooks hooks;
        hooks.ElevationRequired = true;
        hooks.NotElevated = true;
        hooks.Elevate = [&](SHELLEXECUTEINFOW&) { return elevated = true; };
        TLaunchResult r = LaunchModule(target, dir.Path(), UpdateModuleSha256, false, true, hooks);
        EXPECT_FALSE(r.Started);
        EXPECT_TRUE(r.RightsRefused) << r.Error;
        EXPECT_FALSE(elevated);
        Sleep(300);
        EXPECT_TRUE(Missing(dir / "UpdateModuleLaunched.txt"));
    }
}

TEST_F(Trust, DownloadFolderThatExistsAsAFileOrIsMadeFresh) {
    std::string fresh = dir / "Fresh";
    EXPECT_EQ(MakeProtectedFolder(fresh + "\\"), "");
    EXPECT_NE(GetFileAttributesA(fresh.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    WriteFile(dir / "NotAFolder", "x");
    EXPECT_NE(MakeProtectedFolder(dir / "NotAFolder").find("is not a folder"), std::string::npos);
}
