// The locator's real message boxes and file-open dialog, answered from a
// driver thread the way a user would.
#include <windows.h>

#include <future>

#include <gtest/gtest.h>

#include "app/LocatorUI_win32.h"
#include "tests/app/LocatorTestWorld.h"
#include "tests/support/TestSupport.h"
#include "tools/guidriver/GuiDriver_win32.h"

using testsupport::TScratchDir;

namespace {

const char kTitle[] = "Stirpello Update Manager";
const char kNotDefault[] =
    "Stirpello is not installed in it's default location - press OK to find it for us";
const char kDefault[] = "C:\\Program Files\\Stirpello\\";
const int kFileNameField = 0x47C;
const int kFilterBox = 0x470;

struct TDialogSeen {
    std::string FileName;
    std::string Filter;
};

// Answers the "not installed" box with OK, then fills the dialog's file name
// field with chosen (when not empty) and presses Open, or presses Cancel.
TDialogSeen Drive(const std::string& chosen) {
    TMessageBox box = TGuiDriver::WaitMessageBox(kNotDefault, kTitle, 10000);
    TGuiDriver::Answer(box, IDOK);
    HWND dialog = TGuiDriver::WaitWindow("Open", 10000);
    TDialogSeen seen;
    HWND name = TGuiDriver::Control(dialog, "#" + std::to_string(kFileNameField));
    seen.FileName = TGuiDriver::Text(name);
    seen.Filter = TGuiDriver::Text(TGuiDriver::Control(dialog, "#" + std::to_string(kFilterBox)));
    // The dialog's own buttons: deeper controls of the shell view reuse ids.
    int button = IDCANCEL;
    if (!chosen.empty()) {
        SetDlgItemTextA(dialog, kFileNameField, chosen.c_str());
        button = IDOK;
    }
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
    try {
        TGuiDriver::WaitGone("Open", 10000);
    } catch (const EDriverError& e) {
        // Say what is open, then close it so that the test ends.
        std::string open;
        for (const TMessageBox& b : TGuiDriver::MessageBoxes()) {
            open += " [" + b.Text + "]";
            TGuiDriver::Answer(b, IDOK);
        }
        TGuiDriver::Screenshot(testsupport::ExeDir() + "locator-dialog-failure.png");
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        throw EDriverError(std::string(e.what()) + "; boxes:" + open + "; name field: " +
                           TGuiDriver::Text(name));
    }
    return seen;
}

class LocatorDialog : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(world.DefaultEngineExists()); }
    std::string Locate(const std::string& chosen, TDialogSeen& seen) {
        auto driver = std::async(std::launch::async, Drive, chosen);
        std::string result = locator.LocateInstallation();
        seen = driver.get();  // rethrows a driver failure
        return result;
    }

    TLocatorTestWorld world;
    TScratchDir dir{"locator-dialog"};
    TRunLog log;
    TWin32LocatorUI ui{nullptr, kTitle};
    TStirpelloEngineList engines;
    TInstallationLocator locator{log, ui, engines};
};

}  // namespace

TEST_F(LocatorDialog, CancelKeepsTheDefaultFolder) {
    TDialogSeen seen;
    EXPECT_EQ(Locate("", seen), kDefault);
    EXPECT_EQ(seen.FileName, "SPEngine.exe");
    EXPECT_EQ(seen.Filter, "Program Files (*.exe)");
    EXPECT_EQ(log.Lines().back(), std::string("Result of manual find was (") + kDefault + ")");
}

TEST_F(LocatorDialog, PickedFileGivesItsFolder) {
    std::string folder = dir / "Apps\\Stirpello";
    CreateDirectoryA((dir / "Apps").c_str(), nullptr);
    world.MakeInstall(folder, "engine_1095_marked.exe");
    TDialogSeen seen;
    EXPECT_EQ(Locate(folder + "\\SPEngine.exe", seen), folder + "\\");
    EXPECT_EQ(log.Lines().back(), "Result of manual find was (" + folder + "\\)");
}

int main(int argc, char** argv) {
    CoInitialize(nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    int r = RUN_ALL_TESTS();
    CoUninitialize();
    return r;
}
