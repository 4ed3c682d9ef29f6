// The main window's locator members: its run log, its message box (owned by
// the window) and its ShortcutEngines.
#include <windows.h>

#include <atomic>
#include <future>

#include <gtest/gtest.h>

#include "app/DownloadStirpelloForm_win32.h"
#include "tests/app/LocatorTestWorld.h"
#include "tests/support/TestSupport.h"
#include "tools/guidriver/GuiDriver_win32.h"

using testsupport::TScratchDir;

TEST(LocatorForm, WritesToTheWindowsLogBoxesAndShortcutList) {
    TLocatorTestWorld world;
    TScratchDir dir("locator-form");
    world.SetProductValue("C:\\Program Files\\Stirpello\\");
    world.SetInstallerValue("c:\\program files\\stirpello");
    world.MakeInstall(dir / "inst", "engine_1095_plain.exe");
    world.MakeShortcut("Stirpello Form.lnk", dir / "inst\\Stirpello.exe");

    TDownloadStirpelloForm form(GetModuleHandleA(nullptr));
    const std::string text =
        "It appears you may have multiple copies of Stirpello installed - pay close attention to "
        "the Stirpello program folder name as you proceed";
    auto answer = std::async(std::launch::async, [&] {
        TMessageBox box = TGuiDriver::WaitMessageBox(text, kApplicationTitle, 10000);
        HWND owner = GetWindow(box.Handle, GW_OWNER);
        TGuiDriver::Answer(box, IDOK);
        return owner;
    });
    EXPECT_EQ(form.LocateInstallation(), "C:\\Program Files\\Stirpello\\");
    EXPECT_EQ(answer.get(), form.Handle());

    const auto& lines = form.Log().Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "Possible multiple versions installed");
    EXPECT_EQ(lines[4], "1 Desktop Shortcuts found for Stirpello");
    EXPECT_EQ(lines[5], "  1) " + dir / "inst\\SPEngine.exe Version 1.0.9.5 Quillmere Edition");
    ASSERT_EQ(form.ShortcutEngines.size(), 1u);
    EXPECT_TRUE(form.ShortcutEngines[0]->Valid);
    EXPECT_EQ(form.ResolveShortcut(world.DesktopPath() + "\\Stirpello Form.lnk"),
              dir / "inst\\Stirpello.exe");
    // Wine reports Windows 7 (6.1): the dialog keeps its 3-D look.
    EXPECT_FALSE(TDownloadStirpelloForm::IsMajor4MinorBelow10());
    EXPECT_FALSE(TDownloadStirpelloForm::IsMajor4Minor10OrMore());
}

// A window closed under the run: the locator's box is suppressed with it, and
// its file dialog must not open either (its owner is gone).
TEST(LocatorForm, ClosedWindowOpensNoFileDialog) {
    TLocatorTestWorld world;  // nothing installed: the dialog would be next
    TDownloadStirpelloForm form(GetModuleHandleA(nullptr));
    form.Close();
    ASSERT_TRUE(form.IsClosed());
    std::atomic<bool> done{false};
    auto watcher = std::async(std::launch::async, [&] {
        int seen = 0;
        while (!done) {
            HWND w = FindWindowA("#32770", nullptr);
            DWORD pid = 0;
            if (w) GetWindowThreadProcessId(w, &pid);
            if (w && pid == GetCurrentProcessId()) {
                ++seen;
                PostMessageA(w, WM_COMMAND, IDCANCEL, 0);
            }
            Sleep(50);
        }
        return seen;
    });
    // As if cancelled: the default folder stands.
    EXPECT_EQ(form.LocateInstallation(), "C:\\Program Files\\Stirpello\\");
    done = true;
    EXPECT_EQ(watcher.get(), 0) << "a dialog opened under a closed window";
}

int main(int argc, char** argv) {
    CoInitialize(nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    int r = RUN_ALL_TESTS();
    CoUninitialize();
    return r;
}
