// The real program under Wine, driven from outside by the GUI driver with a
// script, the way the end-to-end tests and the demo drive it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fileutil/FileVersion.h"
#include "tests/support/TestSupport.h"
#include "tools/guidriver/DriverScript_win32.h"

namespace {

const char* const kCaption = "Stirpello \"Failsafe\" Update Utility";

struct TRun {
    DWORD exitCode = 0;
    std::string output;
};

// Runs a program of the bin folder and collects its standard output and error.
TRun RunTool(const std::string& exe, const std::string& args, const std::string& workDir) {
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    EXPECT_TRUE(CreatePipe(&readEnd, &writeEnd, &sa, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = writeEnd;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::string path = testsupport::ExeDir() + exe;
    std::string commandLine = "\"" + path + "\" " + args;
    TRun run;
    if (!CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                        workDir.empty() ? nullptr : workDir.c_str(), &si, &pi)) {
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        ADD_FAILURE() << "cannot start " << path;
        run.exitCode = ~0u;
        return run;
    }
    CloseHandle(writeEnd);
    // Reads while the tool runs and stops when it has ended, even if a
    // program it started still holds the pipe.
    char buf[4096];
    for (bool ended = false; !ended;) {
        ended = WaitForSingleObject(pi.hProcess, 20) == WAIT_OBJECT_0;
        DWORD available = 0, got = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got > 0)
            run.output.append(buf, got);
    }
    CloseHandle(readEnd);
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return run;
}

std::string Q(const std::string& text) { return "\"" + TDriverScript::Escaped(text) + "\""; }

std::string FullPath(const std::string& path) {
    char buf[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, buf, nullptr);
    return std::string(buf, n);
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct TExpected {
    const char* name;
    const char* text;  // nullptr: not compared
    int left, top, width, height;
    bool visible;
};

const std::string kIntroduction =
    "Stirpello normally checks for updates automatically when you run it. This utility is more "
    "\"failsafe\". It will identify update problems such as an outdated Stirpello update module, "
    "bad configurations, blocked internet access, etc. It can also fix many of these issues for "
    "you. After analyzing your setup, you'll be prompted to run the update module. You may "
    "rerun this at a later time if your download fails to complete. If you have problems, send an "
    "email to support@stirpello.example immediately after running and closing this utility... let us "
    "know what the problem is and what you've tried to do to fix it. You must paste into that "
    "email the debug log that this utility places into the windows clipboard on exit.";

// The window as it stands after its first activation. Components inside
// GroupBox1 are placed relative to it. One-line labels grow to their text:
// Label4's is a pixel wider than its design width in the Arial stand-in.
const TExpected kLayout[] = {
    {".", kCaption, 155, 29, 664, 472, true},
    {"Memo1", kIntroduction.c_str(), 8, 16, 633, 161, true},
    {"LMDNImage1", nullptr, 8, 192, 185, 121, true},
    {"GroupBox1", "Progress", 200, 184, 441, 129, true},
    {"Label1", "Step 1) Locate your Stirpello program directory", 40, 24, 289, 16, true},
    {"Label3", "Step 2) Download current Stirpello update module, if needed", 40, 48, 365, 16, true},
    {"Label4", "Step 3) Replace existing update module with new one, if needed", 40, 72, 371, 16, true},
    {"Label5", "Step 4) Run update module to download and apply update", 40, 96, 334, 16, true},
    {"S1Mark", nullptr, 24, 24, 14, 15, false},
    {"s2Mark", nullptr, 24, 48, 14, 15, false},
    {"s3Mark", nullptr, 24, 72, 14, 15, false},
    {"s4Mark", nullptr, 24, 96, 14, 15, false},
    {"Label2", "This utility will update the copy of Stirpello you have installed in the directory shown below:",
     64, 320, 541, 16, false},
    {"Edit1", "", 16, 336, 625, 22, false},
    {"Button1", "Click here to begin the update process", 80, 368, 505, 33, true},
    {"Label6", "Make sure both Stirpello and your genealogy software are closed prior to starting the update!", 24,
     408, 607, 16, true},
};

class MainWindow : public ::testing::Test {
protected:
    testsupport::TScratchDir work_{"main-window"};

    TRun Drive(const std::string& script) {
        testsupport::WriteFile(work_ / "scenario.drv", script);
        return RunTool("guidriver.exe", "--script scenario.drv", work_.Path());
    }
};

TEST_F(MainWindow, OpensAsDesignedAndClosesWithAnEmptyLog) {
    const std::string artifacts = FullPath(testsupport::ExeDir() + "..\\artifacts");
    CreateDirectoryA(artifacts.c_str(), nullptr);
    const std::string screenshot = artifacts + "\\main-window.png";
    DeleteFileA(screenshot.c_str());
    DeleteFileA((testsupport::ExeDir() + "StirpelloUpdateLog.txt").c_str());

    std::string s = "set-clipboard \"before the start\"\n"
                    "start DownloadStirpelloUpdate.exe\n"
                    "window " + Q(kCaption) + "\n"
                    "expect-clipboard \"Close the download utility first! Then do the PASTE...\"\n"
                    // Enter presses the button; the task bar names the utility;
                    // a mark still to come has no name for screen readers.
                    "expect-focus Button1 2000\n"
                    "expect-taskbar \"Stirpello Update Manager\"\n"
                    "expect-accname S1Mark \"\"\n";
    for (const TExpected& c : kLayout) {
        if (c.text != nullptr) s += "expect-text " + std::string(c.name) + " " + Q(c.text) + "\n";
        s += "expect-rect " + std::string(c.name) + " " + std::to_string(c.left) + " " + std::to_string(c.top) +
             " " + std::to_string(c.width) + " " + std::to_string(c.height) + "\n";
        if (std::string(c.name) != ".")
            s += "expect-visible " + std::string(c.name) + (c.visible ? " yes\n" : " no\n");
    }
    s += "screenshot " + Q(screenshot) + " window\n";
    s += "close\n"
         "exited 0\n"
         "gone\n"
         "expect-clipboard \"Debug Log Is Empty\"\n";
    const TRun run = Drive(s);
    ASSERT_EQ(run.exitCode, 0u) << run.output;

    // No log file anywhere the program could have put one.
    EXPECT_FALSE(Exists(work_ / "StirpelloUpdateLog.txt"));
    EXPECT_FALSE(Exists(testsupport::ExeDir() + "StirpelloUpdateLog.txt"));

    const std::string png = testsupport::ReadFile(screenshot);
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\x02\x98\0\0\x01\xd8", 8)) << "664 x 472";
}

// The driver's own failures, against the real window.
using GuiDriver = MainWindow;

TEST_F(GuiDriver, AnswersMessageBoxesInTurn) {
    // The fixture asks twice with the same text and exits with both answers.
    const TRun run = Drive(
        "start message_box_fixture.exe Proceed?\n"
        "answer Proceed? Yes Fixture\n"
        "answer Proceed? No\n"
        "exited 607\n");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
}

TEST_F(GuiDriver, FailsOnWhatIsNotThere) {
    ASSERT_EQ(Drive("start DownloadStirpelloUpdate.exe\nwindow " + Q(kCaption) + "\n").exitCode, 0u);
    struct {
        const char* command;
        const char* message;
    } cases[] = {
        {"expect-text Button1 \"Click here\"",
         "Button1: expected text \"Click here\", found \"Click here to begin the update process\""},
        {"expect-rect Button1 80 368 505 34", "Button1: expected 80,368 505x34, found 80,368 505x33"},
        {"expect-visible Edit1 yes", "Edit1 is hidden"},
        {"click Button2", "no control \"Button2\""},
        {"answer \"Nothing asks this\" OK \"\" 200", "no message box with text \"Nothing asks this\""},
        {"expect-clipboard \"something else\" 100", "clipboard: expected \"something else\""},
        {"expect-focus Memo1", "Memo1 does not have the focus; Button1 has"},
        {"key Enter", "unknown key \"Enter\""},
        {"expect-taskbar \"Stirpello\"",
         "task-bar button: expected \"Stirpello\", found \"Stirpello Update Manager\""},
        {"expect-accname S1Mark done", "S1Mark: expected accessible name \"done\", found \"\""},
    };
    for (const auto& c : cases) {
        const TRun run = Drive("window " + Q(kCaption) + "\n" + c.command + "\n");
        EXPECT_EQ(run.exitCode, 1u) << c.command;
        EXPECT_NE(run.output.find(std::string("scenario.drv:2: ") + c.message), std::string::npos)
            << c.command << "\n" << run.output;
    }
    EXPECT_EQ(Drive("window " + Q(kCaption) + "\nclose\ngone\n").exitCode, 0u);
}

// The utility replaces a module and writes a settings file under Program
// Files, which only an elevated process may do.
TEST(Program, CarriesItsOwnVersionAnElevatingManifestAndAnIcon) {
    const std::string exe = testsupport::ExeDir() + "DownloadStirpelloUpdate.exe";
    TrsFileVersion version;
    ASSERT_TRUE(version.ReadFromFile(exe));
    EXPECT_EQ(version.DottedText(), "1.5.0.3");

    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
    ASSERT_NE(res, nullptr);
    const char* data = static_cast<const char*>(LockResource(LoadResource(module, res)));
    const std::string manifest(data, SizeofResource(module, res));
    // The icon Explorer shows for the program.
    const bool hasIcon = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(14)) != nullptr;  // RT_GROUP_ICON
    FreeLibrary(module);
    EXPECT_TRUE(hasIcon);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("version=\"1.5.0.3\""), std::string::npos) << manifest;
}

}  // namespace
