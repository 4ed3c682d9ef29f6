// The installation locator against the prefix's real registry, desktop and
// default folder, with its message boxes and file dialog answered by a script.
#include "app/Locator.h"

#include <windows.h>
#include <commdlg.h>
#include <shlobj.h>

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "fileutil/Errors.h"
#include "tests/app/LocatorTestWorld.h"
#include "tests/support/TestSupport.h"

using testsupport::TScratchDir;

namespace {

const char kDefault[] = "C:\\Program Files\\Stirpello\\";

class TScriptedUI : public ILocatorUI {
public:
    std::vector<std::string> Messages;
    std::vector<TOpenDialogSetup> Dialogs;
    // The dialog's answer: a file name, "" for cancel; or throws.
    std::function<bool(std::string&)> Answer = [](std::string&) { return false; };
    bool Below10 = false, TenOrMore = false;

    void ShowMessage(const std::string& text) override { Messages.push_back(text); }
    bool ExecuteOpenDialog(const TOpenDialogSetup& setup, std::string& fileName) override {
        Dialogs.push_back(setup);
        return Answer(fileName);
    }
    bool IsMajor4MinorBelow10() override { return Below10; }
    bool IsMajor4Minor10OrMore() override { return TenOrMore; }
};

const char kMultiple[] =
    "It appears you may have multiple copies of Stirpello installed - pay close attention to the "
    "Stirpello program folder name as you proceed";
const char kNotDefault[] =
    "Stirpello is not installed in it's default location - press OK to find it for us";
const char kNoRegistry[] = "No \"modern\" (1.0.7 or higher) versions of Stirpello found in registry";

class Locator : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(world.DefaultEngineExists())
            << "another test left " << kDefault << "SPEngine.exe behind";
    }
    std::string Locate() { return locator.LocateInstallation(); }
    const std::vector<std::string>& Lines() const { return log.Lines(); }

    TLocatorTestWorld world;  // undoes its registry keys and shortcuts
    TScratchDir dir{"locator"};
    TRunLog log;
    TScriptedUI ui;
    TStirpelloEngineList engines;
    TInstallationLocator locator{log, ui, engines};
};

}  // namespace

TEST_F(Locator, RegistryKeysAreWeighed) {
    struct Case {
        const char* product;    // nullptr: no key
        const char* installer;  // nullptr: no key
        const char* spLine;
        const char* isLine;
        bool warning;
        const char* result;
    };
    const Case cases[] = {
        {"C:\\Stirpello", nullptr, "C:\\Stirpello\\", "", false, "C:\\Stirpello\\"},
        // Letter case counts: a warning, and the product key wins.
        {"C:\\Program Files\\Stirpello\\", "c:\\program files\\stirpello",
         "C:\\Program Files\\Stirpello\\", "c:\\program files\\stirpello\\", true,
         "C:\\Program Files\\Stirpello\\"},
        {"D:\\Same\\", "D:\\Same", "D:\\Same\\", "D:\\Same\\", false, "D:\\Same\\"},
        {nullptr, "E:\\Inst", "", "E:\\Inst\\", false, "E:\\Inst\\"},
        {"", "E:\\Inst\\", "", "E:\\Inst\\", false, "E:\\Inst\\"},  // empty value
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.product ? c.product : "-") + " / " +
                     (c.installer ? c.installer : "-"));
        world.RemoveKeys();
        if (c.product) world.SetProductValue(c.product);
        if (c.installer) world.SetInstallerValue(c.installer);
        TRunLog caseLog;
        TScriptedUI caseUi;
        TStirpelloEngineList caseEngines;
        TInstallationLocator l(caseLog, caseUi, caseEngines);
        EXPECT_EQ(l.LocateInstallation(), c.result);

        std::vector<std::string> want{std::string("SP Reg Key Dir=") + c.spLine,
                                      std::string("IS Reg Key Dir=") + c.isLine};
        if (c.warning) want.push_back("Possible multiple versions installed");
        want.push_back(std::string("Stirpello install found in registry - ") + c.result);
        want.push_back("0 Desktop Shortcuts found for Stirpello");
        EXPECT_EQ(caseLog.Lines(), want);
        EXPECT_EQ(caseUi.Messages, c.warning ? std::vector<std::string>{kMultiple}
                                             : std::vector<std::string>{});
        EXPECT_TRUE(caseUi.Dialogs.empty());
    }
}

TEST_F(Locator, NonStringRegistryValueEscapes) {
    for (bool product : {true, false}) {
        world.RemoveKeys();
        world.SetDwordValue(product);
        TRunLog caseLog;
        TScriptedUI caseUi;
        TStirpelloEngineList caseEngines;
        TInstallationLocator l(caseLog, caseUi, caseEngines);
        try {
            l.LocateInstallation();
            ADD_FAILURE() << "no error";
        } catch (const EError& e) {
            EXPECT_STREQ(e.what(), product ? "Invalid data type for 'InstallPath'"
                                           : "Invalid data type for 'Inno Setup: App Path'");
        }
        EXPECT_TRUE(caseLog.Lines().empty());
    }
}

TEST_F(Locator, DesktopShortcutsGiveTheFirstFolderWithAnEngine) {
    world.MakeInstall(dir / "old", nullptr);
    world.MakeInstall(dir / "inst1", "engine_1095_marked.exe");
    world.MakeInstall(dir / "inst2", "engine_1074_plain.exe");
    // Names chosen so that the desktop lists them in this order.
    world.MakeShortcut("Stirpello A Old.lnk", dir / "old\\Stirpello.exe");
    world.MakeShortcut("Stirpello B.lnk", dir / "inst1\\Stirpello.exe");
    world.MakeShortcut("stirpello C.lnk", dir / "inst2\\Stirpello.exe");
    world.MakeShortcut("Stirpello D.LNK", dir / "inst2\\Stirpello.exe");  // not ".lnk"
    world.MakeDesktopFile("Stirpello Notes.txt", "notes");
    world.MakeDesktopFile("Notes.lnk", "no match");

    EXPECT_EQ(Locate(), dir / "inst1\\");
    std::vector<std::string> want{
        "SP Reg Key Dir=",
        "IS Reg Key Dir=",
        kNoRegistry,
        "3 Desktop Shortcuts found for Stirpello",
        "  1) (INVALID) " + dir / "old\\ -> Stirpello.exe",
        "  2) " + dir / "inst1\\SPEngine.exe Version 1.0.9.5 Complete Edition",
        "  3) " + dir / "inst2\\SPEngine.exe Version 1.0.7.4 Quillmere Edition",
    };
    EXPECT_EQ(Lines(), want);
    ASSERT_EQ(engines.size(), 3u);
    EXPECT_EQ(engines[0]->TargetName, "Stirpello.exe");
    EXPECT_TRUE(ui.Messages.empty());
    EXPECT_TRUE(ui.Dialogs.empty());

    // A second call starts the list afresh; the registry, when it answers, wins.
    world.SetProductValue("C:\\Stirpello");
    EXPECT_EQ(Locate(), "C:\\Stirpello\\");
    EXPECT_EQ(engines.size(), 3u);
}

TEST_F(Locator, ShortcutThatCannotBeLoadedEndsTheShortcutStep) {
    world.MakeInstall(dir / "inst", "engine_1095_marked.exe");
    world.MakeShortcut("Stirpello A.lnk", dir / "inst\\Stirpello.exe");
    world.MakeDesktopFile("Stirpello B.lnk", "not a shell link at all, just text");
    world.MakeShortcut("Stirpello C.lnk", dir / "inst\\Stirpello.exe");

    EXPECT_EQ(Locate(), kDefault);
    ASSERT_EQ(Lines().size(), 7u);
    EXPECT_EQ(Lines()[2], kNoRegistry);
    EXPECT_EQ(Lines()[3].rfind("Error analyzing shortcuts - ", 0), 0u) << Lines()[3];
    EXPECT_GT(Lines()[3].size(), std::string("Error analyzing shortcuts - ").size());
    // The user's desktop gave no folder, so the shared one is searched too.
    EXPECT_EQ(Lines()[4], "0 Shared Desktop Shortcuts found for Stirpello");
    EXPECT_EQ(Lines()[5], "Stirpello is not installed in it's default location");
    EXPECT_EQ(Lines()[6], std::string("Result of manual find was (") + kDefault + ")");
    // The shortcut read before the failure stays; the one after is not read.
    ASSERT_EQ(engines.size(), 1u);
    EXPECT_TRUE(engines[0]->Valid);
}

TEST_F(Locator, ResolveShortcut) {
    world.MakeShortcut("Stirpello Resolve.lnk", "C:\\Somewhere\\Stirpello.exe");
    EXPECT_EQ(locator.ResolveShortcut(world.DesktopPath() + "\\Stirpello Resolve.lnk"),
              "C:\\Somewhere\\Stirpello.exe");
    EXPECT_THROW(locator.ResolveShortcut(dir / "missing.lnk"), EOSError);
}

TEST_F(Locator, EngineInTheDefaultFolderEndsTheSearchQuietly) {
    world.MakeDefaultEngine();
    EXPECT_EQ(Locate(), kDefault);
    EXPECT_EQ(Lines().back(), "0 Shared Desktop Shortcuts found for Stirpello");
    EXPECT_TRUE(ui.Messages.empty());
    EXPECT_TRUE(ui.Dialogs.empty());
}

// A 32-bit installation on 64-bit Windows is in the (x86) folder: found there
// before the user is asked.
TEST_F(Locator, EngineInThe32BitProgramFilesFolderIsFoundBeforeTheDialog) {
    const std::string x86 = world.MakeX86Engine();
    if (x86.empty()) GTEST_SKIP() << "the 32-bit program files folder is the default one here";
    EXPECT_EQ(Locate(), x86);
    EXPECT_EQ(Lines().back(), "Stirpello found in the 32-bit program files folder - " + x86);
    EXPECT_TRUE(ui.Messages.empty());
    EXPECT_TRUE(ui.Dialogs.empty());
}

// Installers running as administrator put their link on the shared desktop:
// searched, with its own line, only when the user's own desktop gives no folder.
TEST_F(Locator, SharedDesktopIsSearchedWhenTheUsersOwnGivesNoFolder) {
    world.MakeInstall(dir / "shared", "engine_1095_marked.exe");
    world.MakeInstall(dir / "own", "engine_1074_plain.exe");
    world.MakeShortcut("Stirpello Shared.lnk", dir / "shared\\Stirpello.exe", true);
    EXPECT_EQ(Locate(), dir / "shared\\");
    std::vector<std::string> want{
        "SP Reg Key Dir=",
        "IS Reg Key Dir=",
        kNoRegistry,
        "0 Desktop Shortcuts found for Stirpello",
        "1 Shared Desktop Shortcuts found for Stirpello",
        "  1) " + dir / "shared\\SPEngine.exe Version 1.0.9.5 Complete Edition",
    };
    EXPECT_EQ(Lines(), want);
    EXPECT_TRUE(ui.Dialogs.empty());

    // The user's own desktop answers first; the shared one is then not read.
    world.MakeShortcut("Stirpello Own.lnk", dir / "own\\Stirpello.exe");
    EXPECT_EQ(Locate(), dir / "own\\");
    EXPECT_EQ(Lines().back(), "  1) " + dir / "own\\SPEngine.exe Version 1.0.7.4 Quillmere Edition");
    EXPECT_EQ(engines.size(), 1u);
}

TEST_F(Locator, ManualFindSetsUpTheDialogAndKeepsTheDefaultOnCancel) {
    EXPECT_EQ(Locate(), kDefault);
    std::vector<std::string> want{"SP Reg Key Dir=",
                                  "IS Reg Key Dir=",
                                  kNoRegistry,
                                  "0 Desktop Shortcuts found for Stirpello",
                                  "0 Shared Desktop Shortcuts found for Stirpello",
                                  "Stirpello is not installed in it's default location",
                                  std::string("Result of manual find was (") + kDefault + ")"};
    EXPECT_EQ(Lines(), want);
    EXPECT_EQ(ui.Messages, std::vector<std::string>{kNotDefault});
    ASSERT_EQ(ui.Dialogs.size(), 1u);
    const TOpenDialogSetup& d = ui.Dialogs[0];
    EXPECT_EQ(d.Filter, "Program Files (*.exe)|*.exe");
    EXPECT_EQ(d.FilterIndex, 1);
    EXPECT_EQ(d.FileName, "SPEngine.exe");
    EXPECT_EQ(d.Options, static_cast<uint32_t>(OFN_HIDEREADONLY | OFN_FILEMUSTEXIST));
    EXPECT_TRUE(d.Ctl3D);
}

TEST_F(Locator, ManualFindTakesTheFolderOfAnExistingChoice) {
    struct Case {
        std::string chosen;
        std::string result;
    };
    testsupport::WriteFile(dir / "Notes.txt", "x");
    const Case cases[] = {
        {dir / "Notes.txt", dir.Path()},            // any file will do
        {dir / "missing\\SPEngine.exe", kDefault},  // not there: default stays
    };
    for (const Case& c : cases) {
        TRunLog caseLog;
        TScriptedUI caseUi;
        caseUi.Answer = [&](std::string& f) {
            f = c.chosen;
            return true;
        };
        TStirpelloEngineList caseEngines;
        TInstallationLocator l(caseLog, caseUi, caseEngines);
        EXPECT_EQ(l.LocateInstallation(), c.result) << c.chosen;
        EXPECT_EQ(caseLog.Lines().back(), "Result of manual find was (" + c.result + ")");
    }
}

TEST_F(Locator, DialogFailureIsShownAndTheDefaultStays) {
    ui.Answer = [](std::string&) -> bool { throw EOSError("File dialog error 2", 2); };
    EXPECT_EQ(Locate(), kDefault);
    EXPECT_EQ(ui.Messages,
              (std::vector<std::string>{kNotDefault, "Error opening file find dialog"}));
    EXPECT_EQ(Lines().back(), std::string("Result of manual find was (") + kDefault + ")");
}

TEST_F(Locator, Ctl3DIsOffOnMajorVersion4) {
    const bool cases[][3] = {{false, false, true}, {true, false, false}, {false, true, false}};
    for (const auto& c : cases) {
        TRunLog caseLog;
        TScriptedUI caseUi;
        caseUi.Below10 = c[0];
        caseUi.TenOrMore = c[1];
        TStirpelloEngineList caseEngines;
        TInstallationLocator(caseLog, caseUi, caseEngines).LocateInstallation();
        ASSERT_EQ(caseUi.Dialogs.size(), 1u);
        EXPECT_EQ(caseUi.Dialogs[0].Ctl3D, c[2]) << c[0] << c[1];
    }
}

int main(int argc, char** argv) {
    // The shell's link objects need COM on this thread, as in the program.
    CoInitialize(nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    int r = RUN_ALL_TESTS();
    CoUninitialize();
    return r;
}
