// The main window in this process: fonts, marks, boxes, the busy cursor,
// activation and the close handling with a run log, which the program only
// reaches through a run.
#include <windows.h>
#include <oleacc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/DownloadStirpelloForm_win32.h"
#include "fileutil/Errors.h"
#include "fileutil/SystemDll_win32.h"
#include "tests/support/TestSupport.h"
#include "tools/guidriver/GuiDriver_win32.h"

namespace {

// Answers the next message box with the given text from another thread while
// this one sits in the box's modal loop.
class TBoxAnswerer {
public:
    TBoxAnswerer(const std::string& text, int button) : mainThread_(GetCurrentThreadId()) {
        thread_ = std::thread([this, text, button] {
            try {
                box_ = TGuiDriver::WaitMessageBox(text, "", 10000);
                owner_ = GetWindow(box_.Handle, GW_OWNER);
                for (int id : {IDOK, IDCANCEL, IDYES, IDNO})
                    if (GetDlgItem(box_.Handle, id) != nullptr) buttons_ += std::to_string(id) + " ";
                TGuiDriver::Answer(box_, button);
            } catch (const std::exception& e) {
                error_ = e.what();
                // Ends the modal loop, so the test fails instead of hanging.
                PostThreadMessageA(mainThread_, WM_QUIT, 0, 0);
            }
        });
    }
    // Waits for the answer; true when a box was found and answered.
    bool Done() {
        thread_.join();
        return error_.empty();
    }
    const TMessageBox& Box() const { return box_; }
    HWND Owner() const { return owner_; }
    const std::string& Buttons() const { return buttons_; }
    const std::string& Error() const { return error_; }

private:
    DWORD mainThread_;
    std::thread thread_;
    TMessageBox box_;
    HWND owner_ = nullptr;
    std::string buttons_;
    std::string error_;
};

LOGFONTA FontOf(HWND control) {
    LOGFONTA lf = {};
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
    EXPECT_NE(font, nullptr);
    GetObjectA(font, sizeof lf, &lf);
    return lf;
}

std::wstring WideText(HWND control) {
    wchar_t buf[16] = {};
    int n = GetWindowTextW(control, buf, 16);
    return std::wstring(buf, n);
}

bool Visible(HWND h) { return (GetWindowLongA(h, GWL_STYLE) & WS_VISIBLE) != 0; }

class DownloadStirpelloForm : public ::testing::Test {
protected:
    void SetUp() override {
        form_ = std::make_unique<TDownloadStirpelloForm>(GetModuleHandleA(nullptr));
        form_->Show();
        form_->ProcessMessages();
    }
    std::unique_ptr<TDownloadStirpelloForm> form_;
};

TEST_F(DownloadStirpelloForm, UsesTheDesignFonts) {
    struct {
        const char* name;
        HWND TDownloadStirpelloForm::*control;
        int height;
        bool bold;
    } cases[] = {
        {"Memo1", &TDownloadStirpelloForm::Memo1, 16, false},
        {"Button1", &TDownloadStirpelloForm::Button1, 16, true},
        {"Label1", &TDownloadStirpelloForm::Label1, 13, false},
        {"Label3", &TDownloadStirpelloForm::Label3, 13, false},
        {"Label4", &TDownloadStirpelloForm::Label4, 13, false},
        {"Label5", &TDownloadStirpelloForm::Label5, 13, false},
        {"Label2", &TDownloadStirpelloForm::Label2, 13, false},
        {"Label6", &TDownloadStirpelloForm::Label6, 13, true},
        {"Edit1", &TDownloadStirpelloForm::Edit1, 11, false},
        {"GroupBox1", &TDownloadStirpelloForm::GroupBox1, 11, false},
    };
    for (const auto& c : cases) {
        const LOGFONTA lf = FontOf((*form_).*c.control);
        EXPECT_STREQ(lf.lfFaceName, "Arial") << c.name;
        EXPECT_EQ(lf.lfHeight, -c.height) << c.name << ": character height in pixels";
        EXPECT_EQ(lf.lfWeight >= FW_BOLD, c.bold) << c.name;
    }

    // The warning is red; the read-only boxes keep the window colour.
    HDC dc = CreateCompatibleDC(nullptr);
    SendMessageA(form_->Handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(form_->Label6));
    EXPECT_EQ(GetTextColor(dc), RGB(255, 0, 0));
    SendMessageA(form_->Handle(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(form_->Memo1));
    EXPECT_EQ(GetBkColor(dc), GetSysColor(COLOR_WINDOW));
    DeleteDC(dc);
}

TEST_F(DownloadStirpelloForm, MarksShowAGlyphTheirFontReallyHas) {
    HWND marks[4] = {form_->S1Mark, form_->s2Mark, form_->s3Mark, form_->s4Mark};
    for (HWND m : marks) EXPECT_FALSE(Visible(m));

    HDC dc = GetDC(nullptr);
    for (TStepMark mark : {TStepMark::Arrow, TStepMark::Check, TStepMark::Cross}) {
        for (int step = 1; step <= 4; ++step) {
            form_->SetMark(step, mark);
            HWND h = marks[step - 1];
            EXPECT_TRUE(Visible(h)) << step;
            const std::wstring text = WideText(h);
            ASSERT_EQ(text.size(), 1u);
            const LOGFONTA lf = FontOf(h);
            EXPECT_EQ(lf.lfHeight, -13);
            // No silent substitution: the face asked for is the face used,
            // and it has the glyph (symbol fonts at 0xF000 + code).
            HFONT font = reinterpret_cast<HFONT>(SendMessageA(h, WM_GETFONT, 0, 0));
            HGDIOBJ old = SelectObject(dc, font);
            char face[LF_FACESIZE] = {};
            GetTextFaceA(dc, LF_FACESIZE, face);
            EXPECT_STREQ(face, lf.lfFaceName);
            wchar_t chars[2] = {text[0], static_cast<wchar_t>(0xF000 | text[0])};
            WORD glyphs[2] = {0xFFFF, 0xFFFF};
            GetGlyphIndicesW(dc, chars, 2, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
            const bool symbol = lf.lfCharSet == SYMBOL_CHARSET;
            EXPECT_TRUE(glyphs[0] != 0xFFFF || (symbol && glyphs[1] != 0xFFFF))
                << "mark " << static_cast<int>(mark) << " in " << face << " as U+" << std::hex << text[0];
            SelectObject(dc, old);
        }
    }
    ReleaseDC(nullptr, dc);

    // The three marks differ; a hidden mark goes back to the arrow.
    form_->SetMark(1, TStepMark::Arrow);
    form_->SetMark(2, TStepMark::Check);
    form_->SetMark(3, TStepMark::Cross);
    EXPECT_NE(WideText(marks[0]), WideText(marks[1]));
    EXPECT_NE(WideText(marks[1]), WideText(marks[2]));
    EXPECT_NE(WideText(marks[0]), WideText(marks[2]));
    const std::wstring arrow = WideText(marks[0]);
    form_->SetMark(3, TStepMark::Hidden);
    EXPECT_FALSE(Visible(marks[2]));
    EXPECT_EQ(WideText(marks[2]), arrow);
    // Steps outside 1..4 are ignored.
    form_->SetMark(0, TStepMark::Check);
    form_->SetMark(5, TStepMark::Check);

    // A picture of the marks as a run leaves them, kept beside the window's.
    form_->SetMark(3, TStepMark::Cross);
    form_->SetMark(4, TStepMark::Arrow);
    UpdateWindow(form_->Handle());
    const std::string artifacts = testsupport::ExeDir() + "..\\artifacts";
    CreateDirectoryA(artifacts.c_str(), nullptr);
    TGuiDriver::Screenshot(artifacts + "\\main-window-marks.png", form_->Handle());
}

TEST_F(DownloadStirpelloForm, FirstActivationOnlyPutsTheReminderAndHidesTheDirectory) {
    EXPECT_EQ(TGuiDriver::Clipboard(), "Close the download utility first! Then do the PASTE...");
    EXPECT_FALSE(Visible(form_->Label2));
    EXPECT_FALSE(Visible(form_->Edit1));

    form_->ShowDirectory("C:\\Program Files\\Stirpello\\");
    form_->SetProgress("Progress - Testing internet access...");
    EXPECT_TRUE(Visible(form_->Label2));
    EXPECT_TRUE(Visible(form_->Edit1));
    EXPECT_EQ(TGuiDriver::Text(form_->Edit1), "C:\\Program Files\\Stirpello\\");
    EXPECT_EQ(TGuiDriver::Text(form_->GroupBox1), "Progress - Testing internet access...");

    // Away to another window and back.
    TGuiDriver::SetClipboard("pasted elsewhere");
    HWND other = CreateWindowExA(0, "STATIC", "other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                                 nullptr, nullptr);
    SetActiveWindow(other);
    form_->ProcessMessages();
    ASSERT_EQ(GetActiveWindow(), other);
    SetActiveWindow(form_->Handle());
    form_->ProcessMessages();
    ASSERT_EQ(GetActiveWindow(), form_->Handle());
    DestroyWindow(other);
    EXPECT_EQ(TGuiDriver::Clipboard(), "pasted elsewhere");
    EXPECT_TRUE(Visible(form_->Edit1));
}

TEST_F(DownloadStirpelloForm, ClosingWritesTheLogToClipboardAndLogFile) {
    testsupport::TScratchDir dir("form-close");
    const std::string folder = dir.Path();  // ends with a backslash
    struct {
        const char* what;
        std::string logDirectory;  // "" = never set
        bool fileExpected;
    } cases[] = {
        {"folder with a trailing backslash", folder, true},
        {"folder without one", folder.substr(0, folder.size() - 1), true},
        {"no log directory", "", false},
        {"folder that does not exist", folder + "missing\\", false},
    };
    const std::string logFile = folder + "StirpelloUpdateLog.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::WriteFile(logFile, "an older, longer log file from an earlier session\r\n");
        auto form = std::make_unique<TDownloadStirpelloForm>(GetModuleHandleA(nullptr));
        form->Show();
        form->ProcessMessages();
        form->Log().Add(TRunMsg::UtilityVersion, {"1.5.0.3"});
        form->Log().Add(TRunMsg::NoUpdates);
        if (!c.logDirectory.empty()) form->SetLogDirectory(c.logDirectory);
        form->Close();
        EXPECT_FALSE(form->IsOpen());
        const std::string text = "Stirpello Failsafe Update Utility Version 1.5.0.3\r\nNo updates found.\r\n";
        EXPECT_EQ(TGuiDriver::Clipboard(), text);
        EXPECT_EQ(testsupport::ReadFile(logFile),
                  c.fileExpected ? text : "an older, longer log file from an earlier session\r\n");
    }
    EXPECT_EQ(TDownloadStirpelloForm::LogFilePath("C:\\A\\"), "C:\\A\\StirpelloUpdateLog.txt");
    EXPECT_EQ(TDownloadStirpelloForm::LogFilePath("C:\\A"), "C:\\A\\StirpelloUpdateLog.txt");
}

TEST_F(DownloadStirpelloForm, ClosingWithAnEmptyLogWritesNoFile) {
    testsupport::TScratchDir dir("form-close-empty");
    form_->SetLogDirectory(dir.Path());
    form_->Close();
    EXPECT_EQ(TGuiDriver::Clipboard(), "Debug Log Is Empty");
    EXPECT_EQ(testsupport::ReadFile(dir / "StirpelloUpdateLog.txt"), "");
    EXPECT_EQ(GetFileAttributesA((dir / "StirpelloUpdateLog.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(DownloadStirpelloForm, Button1RunsTheHandlerOnceAtATime) {
    // Nothing plugged in: a press does nothing.
    SendMessageA(form_->Button1, BM_CLICK, 0, 0);

    int runs = 0;
    form_->SetRunHandler([&](TDownloadStirpelloForm& form) {
        ++runs;
        form.Log().Add(TRunMsg::EmbeddedHandle, {std::to_string(runs)});
        // A press while the run processes messages must not nest a run.
        PostMessageA(form.Button1, BM_CLICK, 0, 0);
        form.ProcessMessages();
    });
    SendMessageA(form_->Button1, BM_CLICK, 0, 0);
    form_->ProcessMessages();
    EXPECT_EQ(runs, 1);
    SendMessageA(form_->Button1, BM_CLICK, 0, 0);
    form_->ProcessMessages();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(form_->Log().Text(), "SPExec.dll handle was 1\r\nSPExec.dll handle was 2\r\n");

    // An error that escapes the run is shown, not thrown through the system.
    form_->SetRunHandler([](TDownloadStirpelloForm&) { throw EError("Unexpected failure"); });
    TBoxAnswerer answer("Unexpected failure", IDOK);
    SendMessageA(form_->Button1, BM_CLICK, 0, 0);
    ASSERT_TRUE(answer.Done()) << answer.Error();
    EXPECT_EQ(answer.Box().Title, "Stirpello Update Manager");
    EXPECT_TRUE(form_->IsOpen());
}

// Keys as the keyboard queues them for the control with the focus, then
// handled as the program's message loop handles them.
void PressKey(TDownloadStirpelloForm& form, UINT key) {
    TGuiDriver::PressKey(form.Handle(), key);
    form.ProcessMessages();
}

TEST_F(DownloadStirpelloForm, EnterStartsTheRunButNotASecondOneWithinIt) {
    // At first the focus is on the button, and it is the default one.
    EXPECT_EQ(GetFocus(), form_->Button1);
    EXPECT_TRUE(SendMessageA(form_->Button1, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON);

    UINT key = 0;
    int runs = 0;
    form_->SetRunHandler([&](TDownloadStirpelloForm& form) {
        ++runs;
        // The same key again while the run processes messages.
        PressKey(form, key);
    });
    const struct {
        const char* what;
        HWND TDownloadStirpelloForm::*focus;
        UINT key;
        int runs;
    } cases[] = {
        {"Enter on the button", &TDownloadStirpelloForm::Button1, VK_RETURN, 1},
        {"Space on the button", &TDownloadStirpelloForm::Button1, VK_SPACE, 1},
        {"Enter in the introduction", &TDownloadStirpelloForm::Memo1, VK_RETURN, 1},
        {"Escape", &TDownloadStirpelloForm::Button1, VK_ESCAPE, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetFocus((*form_).*c.focus);
        ASSERT_EQ(GetFocus(), (*form_).*c.focus);
        key = c.key;
        runs = 0;
        PressKey(*form_, c.key);
        EXPECT_EQ(runs, c.runs);
    }
    EXPECT_TRUE(form_->IsOpen());
}

// The task bar and Alt+Tab show the application window: its title names the
// utility, and what is done to it there is done to the main window.
TEST_F(DownloadStirpelloForm, TheTaskBarButtonNamesTheUtilityAndActsOnTheWindow) {
    const HWND window = form_->Handle();
    const HWND owner = GetWindow(window, GW_OWNER);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(TGuiDriver::TaskbarWindow(window), owner);
    EXPECT_EQ(TGuiDriver::Text(owner), "Stirpello Update Manager");
    EXPECT_EQ(TGuiDriver::Text(window), "Stirpello \"Failsafe\" Update Utility");
    // Nothing of it is seen, and it is not taken for a box with that title.
    RECT r = {};
    GetWindowRect(owner, &r);
    EXPECT_TRUE(IsRectEmpty(&r));
    EXPECT_EQ(TGuiDriver::FindTopWindow("Stirpello Update Manager"), nullptr);

    // The window's own minimise button minimises the utility to the task bar.
    SendMessageA(window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    form_->ProcessMessages();
    EXPECT_TRUE(IsIconic(owner));
    EXPECT_FALSE(IsWindowVisible(window));
    // A click on the button restores it, with the focus where it was.
    SendMessageA(owner, WM_SYSCOMMAND, SC_RESTORE, 0);
    form_->ProcessMessages();
    EXPECT_FALSE(IsIconic(owner));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_FALSE(IsIconic(window));
    EXPECT_EQ(GetActiveWindow(), window);
    EXPECT_EQ(GetFocus(), form_->Button1);

    // Switched to from elsewhere (Alt+Tab, the button): the window is active.
    HWND other = CreateWindowExA(0, "STATIC", "other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50, nullptr, nullptr,
                                 nullptr, nullptr);
    SetActiveWindow(other);
    form_->ProcessMessages();
    SetActiveWindow(owner);
    form_->ProcessMessages();
    DestroyWindow(other);
    EXPECT_EQ(GetActiveWindow(), window);

    // Closed from the task bar: the window's close handling runs.
    TGuiDriver::SetClipboard("before the close");
    SendMessageA(owner, WM_SYSCOMMAND, SC_CLOSE, 0);
    form_->ProcessMessages();
    EXPECT_FALSE(form_->IsOpen());
    EXPECT_EQ(TGuiDriver::Clipboard(), "Debug Log Is Empty");
    EXPECT_FALSE(IsWindowVisible(owner));
}

// Minimised while a box of the run is up (from the task bar: the window
// itself is disabled), the box goes with the window and comes back with it.
TEST_F(DownloadStirpelloForm, MinimisingTakesAnOpenBoxAlong) {
    const std::string text = "Internet access is blocked!";
    const HWND owner = GetWindow(form_->Handle(), GW_OWNER);
    const DWORD mainThread = GetCurrentThreadId();
    std::string error;
    bool hiddenWhileMinimised = false, shownAfterRestore = false;
    std::thread user([&] {
        try {
            const TMessageBox box = TGuiDriver::WaitMessageBox(text, "Stirpello Update Manager", 10000);
            SendMessageA(owner, WM_SYSCOMMAND, SC_MINIMIZE, 0);
            hiddenWhileMinimised = IsIconic(owner) && !IsWindowVisible(box.Handle);
            SendMessageA(owner, WM_SYSCOMMAND, SC_RESTORE, 0);
            Sleep(100);  // the activation is passed on by a posted message
            shownAfterRestore = IsWindowVisible(box.Handle) && GetForegroundWindow() == box.Handle;
            TGuiDriver::Answer(box, IDOK);
        } catch (const std::exception& e) {
            error = e.what();
            PostThreadMessageA(mainThread, WM_QUIT, 0, 0);
        }
    });
    form_->ShowMessage(text);
    user.join();
    ASSERT_EQ(error, "");
    EXPECT_TRUE(hiddenWhileMinimised);
    EXPECT_TRUE(shownAfterRestore);
    EXPECT_TRUE(IsWindowVisible(form_->Handle()));
}

std::vector<HWND> gNameChanges;
void CALLBACK RecordNameChange(HWINEVENTHOOK, DWORD, HWND hwnd, LONG object, LONG child, DWORD, DWORD) {
    if (object == OBJID_CLIENT && child == CHILDID_SELF) gNameChanges.push_back(hwnd);
}

// A screen reader reads the symbol font's letter behind a glyph ("ü" for the
// check mark): each mark tells it instead what it means.
TEST_F(DownloadStirpelloForm, MarksTellScreenReadersWhatTheyMean) {
    // Nothing of the accessibility support is loaded until a client asks.
    EXPECT_EQ(GetModuleHandleA("oleacc.dll"), nullptr);
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    HWND marks[4] = {form_->S1Mark, form_->s2Mark, form_->s3Mark, form_->s4Mark};
    for (HWND m : marks) EXPECT_EQ(TGuiDriver::AccessibleName(m), "");

    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_NAMECHANGE, nullptr,
                                         RecordNameChange, GetCurrentProcessId(), GetCurrentThreadId(),
                                         WINEVENT_OUTOFCONTEXT);
    const struct {
        int step;
        TStepMark mark;
        const char* name;
    } cases[] = {
        {1, TStepMark::Arrow, "in progress"}, {1, TStepMark::Check, "done"},   {2, TStepMark::Arrow, "in progress"},
        {2, TStepMark::Cross, "failed"},      {2, TStepMark::Hidden, ""},      {4, TStepMark::Arrow, "in progress"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.step) + " " + c.name);
        const HWND h = marks[c.step - 1];
        gNameChanges.clear();
        form_->SetMark(c.step, c.mark);
        EXPECT_EQ(TGuiDriver::AccessibleName(h), c.name);
        // The glyph stays what it was.
        EXPECT_EQ(WideText(h).size(), 1u);
        // Clients that listen are told.
        form_->ProcessMessages();
        EXPECT_EQ(std::count(gNameChanges.begin(), gNameChanges.end(), h), 1);
    }
    UnhookWinEvent(hook);

    // Everything but the name is the system's (role, state, place).
    static const auto fromWindow =
        SystemDllFunction<decltype(&AccessibleObjectFromWindow)>("oleacc.dll", "AccessibleObjectFromWindow");
    static const auto standardObject =
        SystemDllFunction<decltype(&CreateStdAccessibleObject)>("oleacc.dll", "CreateStdAccessibleObject");
    form_->SetMark(3, TStepMark::Cross);
    for (HWND h : {form_->s2Mark, form_->s3Mark}) {
        IAccessible* objects[2] = {};
        ASSERT_EQ(fromWindow(h, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                             reinterpret_cast<void**>(&objects[0])),
                  S_OK);
        ASSERT_EQ(standardObject(h, OBJID_CLIENT, __uuidof(IAccessible), reinterpret_cast<void**>(&objects[1])),
                  S_OK);
        VARIANT self;
        VariantInit(&self);
        self.vt = VT_I4;
        self.lVal = CHILDID_SELF;
        VARIANT role[2], state[2];
        LONG place[2][4] = {};
        for (int i = 0; i < 2; ++i) {
            VariantInit(&role[i]);
            VariantInit(&state[i]);
            EXPECT_EQ(objects[i]->get_accRole(self, &role[i]), S_OK);
            EXPECT_EQ(objects[i]->get_accState(self, &state[i]), S_OK);
            EXPECT_EQ(objects[i]->accLocation(&place[i][0], &place[i][1], &place[i][2], &place[i][3], self), S_OK);
        }
        EXPECT_EQ(role[0].lVal, role[1].lVal);
        EXPECT_EQ(state[0].lVal, state[1].lVal);
        EXPECT_EQ(std::vector<LONG>(place[0], place[0] + 4), std::vector<LONG>(place[1], place[1] + 4));
        EXPECT_EQ((state[0].lVal & STATE_SYSTEM_INVISIBLE) != 0, h == form_->s2Mark) << "s2Mark is hidden";
        for (IAccessible* o : objects) o->Release();
    }
    CoUninitialize();
}

TEST_F(DownloadStirpelloForm, ARunGoesOnHarmlesslyAfterTheWindowClosed) {
    form_->SetRunHandler([](TDownloadStirpelloForm& form) {
        form.Log().Add(TRunMsg::ProgramRunning, {"C:\\Stirpello\\SPEngine.exe"});
        form.Close();
        form.SetProgress("Progress - Locating Stirpello on your computer...");
        form.SetMark(2, TStepMark::Check);
        form.ShowDirectory("C:\\Stirpello\\");
        form.Log().Add(TRunMsg::NoUpdates);
    });
    SendMessageA(form_->Button1, BM_CLICK, 0, 0);
    EXPECT_FALSE(form_->IsOpen());
    // The run closed the window itself: no line says the user did.
    EXPECT_EQ(TGuiDriver::Clipboard(), "C:\\Stirpello\\SPEngine.exe is running\r\n");
}

// The user closes the window while a box of the run is up (posted WM_CLOSE:
// the window itself is disabled under the box). The close handling runs, the
// box goes with its owner, and boxes asked for afterwards show nothing.
TEST_F(DownloadStirpelloForm, ClosingUnderABoxEndsItAndLaterBoxesShowNothing) {
    const std::string pressOk = "Press OK to close this utility and launch the update module";
    const HWND window = form_->Handle();
    const DWORD mainThread = GetCurrentThreadId();
    std::string error;
    std::thread closer([&] {
        try {
            TGuiDriver::WaitMessageBox(pressOk, "Stirpello Update Manager", 10000);
            PostMessageA(window, WM_CLOSE, 0, 0);
        } catch (const std::exception& e) {
            error = e.what();
            PostThreadMessageA(mainThread, WM_QUIT, 0, 0);
        }
    });
    form_->Log().Add(TRunMsg::Launching, {"C:\\Stirpello\\Stirpello.exe"});
    EXPECT_FALSE(form_->IsClosed());
    form_->ShowMessage(pressOk);
    closer.join();
    ASSERT_EQ(error, "");
    EXPECT_TRUE(form_->IsClosed());
    EXPECT_EQ(TGuiDriver::Clipboard(), "Running C:\\Stirpello\\Stirpello.exe\r\n");
    EXPECT_TRUE(TGuiDriver::MessageBoxes().empty());

    // A watcher answers any box that still appears, and counts it.
    std::atomic<bool> stop{false};
    std::atomic<int> shown{0};
    std::thread watcher([&] {
        while (!stop) {
            for (const TMessageBox& box : TGuiDriver::MessageBoxes()) {
                ++shown;
                PostMessageA(box.Handle, WM_COMMAND, IDOK, 0);
                PostMessageA(box.Handle, WM_COMMAND, IDCANCEL, 0);
            }
            Sleep(10);
        }
    });
    form_->ShowMessage("The download did not complete... try the download again later (0/1294848)");
    EXPECT_EQ(form_->Confirm("Only a minor update is available currently... would you like to change your "
                             "settings to notify you of minor updates?"),
              crCancel);
    stop = true;
    watcher.join();
    EXPECT_EQ(shown, 0);
}

// The user closes the window while a run waits on a box: the log says so and
// where the run was, so that a reader can tell it from a log cut short.
TEST_F(DownloadStirpelloForm, AUsersCloseDuringARunIsLogged) {
    const std::string blocked = "Internet access is blocked!";
    const HWND window = form_->Handle();
    std::string error;
    form_->SetRunHandler([&](TDownloadStirpelloForm& form) {
        form.Log().Add(TRunMsg::UtilityVersion, {"1.5.0.3"});
        form.SetMark(2, TStepMark::Arrow);
        form.SetProgress("Progress - Testing internet access...");
        std::thread closer([&] {
            try {
                TGuiDriver::WaitMessageBox(blocked, "Stirpello Update Manager", 10000);
                PostMessageA(window, WM_CLOSE, 0, 0);
            } catch (const std::exception& e) {
                error = e.what();
            }
        });
        form.ShowMessage(blocked);
        closer.join();
    });
    SendMessageA(form_->Button1, BM_CLICK, 0, 0);
    ASSERT_EQ(error, "");
    EXPECT_EQ(TGuiDriver::Clipboard(),
              "Stirpello Failsafe Update Utility Version 1.5.0.3\r\n"
              "Window closed by the user at step 2: Progress - Testing internet access...\r\n");
}

TEST_F(DownloadStirpelloForm, MessageBoxesAreOwnedAndTitled) {
    {
        TBoxAnswerer answer("Stirpello is running... close Stirpello (or reboot) and rerun this utility", IDOK);
        form_->ShowMessage("Stirpello is running... close Stirpello (or reboot) and rerun this utility");
        ASSERT_TRUE(answer.Done()) << answer.Error();
        EXPECT_EQ(answer.Box().Title, "Stirpello Update Manager");
        EXPECT_EQ(answer.Owner(), form_->Handle());
        EXPECT_EQ(answer.Buttons(), "1 ");
    }
    struct {
        int button;
        TConfirmAnswer expected;
    } cases[] = {{IDYES, crYes}, {IDNO, crNo}, {IDCANCEL, crCancel}};
    for (const auto& c : cases) {
        TBoxAnswerer answer("Only a minor update is available currently... would you like to change your settings?",
                            c.button);
        const TConfirmAnswer got =
            form_->Confirm("Only a minor update is available currently... would you like to change your settings?");
        ASSERT_TRUE(answer.Done()) << answer.Error();
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(answer.Box().Title, "Confirm");
        EXPECT_EQ(answer.Owner(), form_->Handle());
        EXPECT_EQ(answer.Buttons(), "2 6 7 ");
    }
}

TEST_F(DownloadStirpelloForm, BusyCursorIsSetAtOnceAndKeptOverTheWindow) {
    const HCURSOR wait = LoadCursor(nullptr, IDC_WAIT);
    const HCURSOR arrow = LoadCursor(nullptr, IDC_ARROW);
    form_->SetBusyCursor(true);
    EXPECT_TRUE(TDownloadStirpelloForm::Busy());
    EXPECT_EQ(GetCursor(), wait);
    SetCursor(arrow);
    EXPECT_TRUE(SendMessageA(form_->Handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(form_->Button1),
                             MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)));
    EXPECT_EQ(GetCursor(), wait);

    form_->SetBusyCursor(false);
    EXPECT_FALSE(TDownloadStirpelloForm::Busy());
    EXPECT_EQ(GetCursor(), arrow);
    SendMessageA(form_->Handle(), WM_SETCURSOR, reinterpret_cast<WPARAM>(form_->Handle()),
                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
    EXPECT_EQ(GetCursor(), arrow);
}

// The introduction is one paragraph that the memo wraps itself: a line end
// of the source text would leave a short fragment on a line of its own.
TEST_F(DownloadStirpelloForm, IntroductionIsOneWrappedParagraph) {
    const std::string text = TGuiDriver::Text(form_->Memo1);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(0, 25), "Stirpello normally checks");
    EXPECT_EQ(text.substr(text.size() - 18), "clipboard on exit.");
    EXPECT_NE(text.find("send an email to support@stirpello.example immediately"), std::string::npos);
    const int lines = static_cast<int>(SendMessageA(form_->Memo1, EM_GETLINECOUNT, 0, 0));
    EXPECT_GE(lines, 6);
    for (int i = 0; i + 1 < lines; ++i) {
        const LRESULT start = SendMessageA(form_->Memo1, EM_LINEINDEX, static_cast<WPARAM>(i), 0);
        const LRESULT length = SendMessageA(form_->Memo1, EM_LINELENGTH, static_cast<WPARAM>(start), 0);
        EXPECT_GT(length, 50) << "line " << i << ": " << text.substr(static_cast<size_t>(start), static_cast<size_t>(length));
    }
}

// Makes the n-th child window created on this thread fail, the way creation
// fails when USER handles or the desktop heap run out.
int g_childToFail = 0, g_childrenSeen = 0;
LRESULT CALLBACK FailNthChild(int code, WPARAM wp, LPARAM lp) {
    if (code == HCBT_CREATEWND) {
        const CBT_CREATEWNDA* create = reinterpret_cast<CBT_CREATEWNDA*>(lp);
        if ((create->lpcs->style & WS_CHILD) && ++g_childrenSeen == g_childToFail) return 1;
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

// The main windows and the application windows that own them.
BOOL CALLBACK CountMainWindows(HWND h, LPARAM lp) {
    char cls[64] = {};
    GetClassNameA(h, cls, sizeof cls);
    if (std::string(cls) == kMainWindowClass || std::string(cls) == kApplicationWindowClass)
        ++*reinterpret_cast<int*>(lp);
    return TRUE;
}

int MainWindowsOfThisThread() {
    int n = 0;
    EnumThreadWindows(GetCurrentThreadId(), CountMainWindows, reinterpret_cast<LPARAM>(&n));
    return n;
}

// A component that cannot be made fails the construction and leaves no
// window behind that points at the object that never was.
TEST(DownloadStirpelloFormCreation, FailedComponentLeavesNoWindow) {
    const struct {
        int child;
        const char* message;
    } cases[] = {{1, "Cannot create Memo1"}, {10, "Cannot create s2Mark"}, {15, "Cannot create Label6"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        g_childToFail = c.child;
        g_childrenSeen = 0;
        HHOOK hook = SetWindowsHookExA(WH_CBT, FailNthChild, nullptr, GetCurrentThreadId());
        ASSERT_NE(hook, nullptr);
        std::string error;
        try {
            TDownloadStirpelloForm form(GetModuleHandleA(nullptr));
        } catch (const EOSError& e) {
            error = e.what();
        }
        UnhookWindowsHookEx(hook);
        EXPECT_EQ(error.substr(0, std::string(c.message).size()), c.message);
        EXPECT_EQ(MainWindowsOfThisThread(), 0);
        // What an error box would do next: messages for this thread's windows.
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    // The class still serves a form that is made whole.
    TDownloadStirpelloForm form(GetModuleHandleA(nullptr));
    EXPECT_EQ(MainWindowsOfThisThread(), 2);
    EXPECT_NE(form.Label6, nullptr);
}

}  // namespace

namespace {
std::wstring UnicodeClipboard() {
    std::wstring text;
    if (!OpenClipboard(nullptr)) return L"<clipboard busy>";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (auto* p = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = p;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}
}  // namespace

// A clipboard manager holds the clipboard for half a second as the window
// closes: the log still gets there, as ANSI text and as Unicode text taken
// from the ANSI code page rather than the keyboard's.
TEST_F(DownloadStirpelloForm, ClosingOutwaitsAHeldClipboardAndAddsUnicodeText) {
    if (GetACP() != 1252) GTEST_SKIP() << "the expected text assumes code page 1252";
    form_->Log().Add(TRunMsg::Launching, {"C:\\Caf\xE9 \x80\\Stirpello.exe"});
    std::atomic<int> held{0};  // 1 held, -1 could not open it
    std::thread holder([&] {
        if (!OpenClipboard(nullptr)) {
            held = -1;
            return;
        }
        held = 1;
        Sleep(600);
        CloseClipboard();
    });
    while (held == 0) Sleep(5);
    form_->Close();
    holder.join();
    ASSERT_EQ(held, 1);
    EXPECT_EQ(TGuiDriver::Clipboard(), "Running C:\\Caf\xE9 \x80\\Stirpello.exe\r\n");
    EXPECT_EQ(UnicodeClipboard(), L"Running C:\\Caf\u00e9 \u20ac\\Stirpello.exe\r\n");
}
