// The windows at the display scale they are shown at: the main window, the
// download window and the locator's file dialog grow with the scale, every
// control lies inside its window, and every control's text fits it in its
// own font. Measured in this process, which owns the fonts.
//
// Run in the test prefix (96 dpi) the checks also follow the main window and
// the download window through WM_DPICHANGED to the other scales. The
// display-scale runs (tests/app/CMakeLists.txt) start this program in a
// prefix of its own set to 120, 144 or 192 dpi and name the DPI in
// STIRPELLO_EXPECT_DPI; the program carries the utility's manifest, so it is
// per-monitor aware as the utility is.
#include <windows.h>
#include <commdlg.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/ControlName_win32.h"
#include "app/DownloadStirpelloForm_win32.h"
#include "app/LocatorUI_win32.h"
#include "fileutil/DpiLayout_win32.h"
#include "tests/support/TestSupport.h"
#include "tools/guidriver/GuiDriver_win32.h"
#include "web/FileDownloader_win32.h"

namespace {

int Scaled(int length, UINT dpi) { return MulDiv(length, static_cast<int>(dpi), 96); }

SIZE SizeOf(const RECT& r) { return SIZE{r.right - r.left, r.bottom - r.top}; }

std::string Describe(HWND h) {
    char cls[64] = {}, text[96] = {};
    GetClassNameA(h, cls, sizeof cls);
    GetWindowTextA(h, text, sizeof text);
    std::string name = ControlName(h);
    return std::string(cls) + (name.empty() ? "" : " " + name) + " \"" + text + "\"";
}

// The area of h's client, in screen coordinates.
RECT ClientOnScreen(HWND h) {
    RECT r;
    GetClientRect(h, &r);
    MapWindowPoints(h, nullptr, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// A lambda would not do: the 32-bit callback is stdcall.
BOOL CALLBACK CollectChild(HWND h, LPARAM lp) {
    reinterpret_cast<std::vector<HWND>*>(lp)->push_back(h);
    return TRUE;
}

// Every visible child, at any depth, lies inside its parent's client area.
void ExpectChildrenInside(HWND top) {
    std::vector<HWND> children;
    EnumChildWindows(top, CollectChild, reinterpret_cast<LPARAM>(&children));
    EXPECT_FALSE(children.empty());
    for (HWND h : children) {
        if (!IsWindowVisible(h)) continue;
        RECT r, inside;
        GetWindowRect(h, &r);
        const RECT parent = ClientOnScreen(GetParent(h));
        IntersectRect(&inside, &r, &parent);
        EXPECT_TRUE(EqualRect(&inside, &r))
            << Describe(h) << " at (" << r.left << "," << r.top << ")-(" << r.right << "," << r.bottom
            << ") leaves its parent's client (" << parent.left << "," << parent.top << ")-(" << parent.right << ","
            << parent.bottom << ")";
    }
}

// The extent of text in the control's own font; wrap: word-wrapped to width.
SIZE TextExtent(HWND control, const std::wstring& text, UINT flags, int width) {
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT r = {0, 0, width, 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, flags | DT_CALCRECT | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return SizeOf(r);
}

std::wstring TextOf(HWND h) {
    const int n = GetWindowTextLengthW(h);
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(h, &text[0], n + 1)));
    return text;
}

// The control's text (or the given one, as the control will show it) fits
// inside the room the control gives it.
void ExpectTextFits(HWND h, const std::wstring* given = nullptr) {
    const std::wstring text = given ? *given : TextOf(h);
    if (text.empty()) return;
    char cls[32] = {};
    GetClassNameA(h, cls, sizeof cls);
    const LONG style = GetWindowLongA(h, GWL_STYLE);
    RECT room;
    GetClientRect(h, &room);
    UINT flags = DT_SINGLELINE;
    std::string kind = cls;
    if (lstrcmpiA(cls, "Edit") == 0) {
        // The formatting rectangle: inside the border and the margins.
        SendMessageW(h, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&room));
        if (style & ES_MULTILINE) flags = DT_WORDBREAK | DT_EDITCONTROL;
    } else if (lstrcmpiA(cls, "Button") == 0) {
        const LONG type = style & BS_TYPEMASK;
        if (type == BS_GROUPBOX) {
            // The caption runs in the frame's top line, inset at both ends,
            // above the first row of the box's contents.
            room.right -= 2 * GetSystemMetrics(SM_CXEDGE) + 8;
            HWND first = GetWindow(h, GW_CHILD);
            RECT firstRect;
            GetWindowRect(first, &firstRect);
            MapWindowPoints(nullptr, h, reinterpret_cast<POINT*>(&firstRect), 2);
            room.bottom = firstRect.top;
            kind = "group box";
        } else {
            // The push button's edges and focus rectangle.
            InflateRect(&room, -(2 * GetSystemMetrics(SM_CXEDGE) + 1), -(2 * GetSystemMetrics(SM_CYEDGE) + 1));
        }
    } else if (lstrcmpiA(cls, "Static") == 0) {
        const LONG type = style & SS_TYPEMASK;
        if (type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT) flags = DT_WORDBREAK;
    }
    const SIZE room_ = SizeOf(room);
    const SIZE need = TextExtent(h, text, flags, room_.cx);
    EXPECT_LE(need.cx, room_.cx) << Describe(h) << " (" << kind << "): text wider than its room";
    EXPECT_LE(need.cy, room_.cy) << Describe(h) << " (" << kind << "): text taller than its room";
}

void ExpectTextFits(HWND h, const std::string& text) {
    const std::wstring wide(text.begin(), text.end());
    ExpectTextFits(h, &wide);
}

int FontHeight(HWND control) {
    LOGFONTA lf = {};
    GetObjectA(reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)), sizeof lf, &lf);
    return lf.lfHeight;
}

// The DPI this run was started for; else the system's.
UINT ExpectedDpi() {
    const char* given = std::getenv("STIRPELLO_EXPECT_DPI");
    return given != nullptr ? static_cast<UINT>(std::atoi(given)) : SystemDpi();
}

// What was measured, for the log of the run.
void Report(const char* window, HWND h, UINT dpi) {
    RECT r, c;
    GetWindowRect(h, &r);
    GetClientRect(h, &c);
    std::printf("[size] %u dpi: %s %ldx%ld (client %ldx%ld)\n", dpi, window, static_cast<long>(r.right - r.left),
                static_cast<long>(r.bottom - r.top), static_cast<long>(c.right), static_cast<long>(c.bottom));
    std::fflush(stdout);
}

void SaveScreenshot(const std::string& name, HWND h) {
    const std::string artifacts = testsupport::ExeDir() + "..\\artifacts";
    CreateDirectoryA(artifacts.c_str(), nullptr);
    UpdateWindow(h);
    TGuiDriver::Screenshot(artifacts + "\\" + name, h);
}

// Every progress caption a run sets.
const char* const kProgressCaptions[] = {
    "Progress",
    "Progress - Currently verifying Stirpello is not running...",
    "Progress - Locating Stirpello on your computer...",
    "Progress - Stirpello found... validating...",
    "Progress - Inspecting existing update module...",
    "Progress - Inspecting existing update settings...",
    "Progress - Testing internet access...",
    "Progress - Analyzing available updates...",
    "Progress - Downloading new update module...",
    "Progress - Replacing existing update module...",
    "Progress - Executing update module...",
};

class DisplayScale : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(SystemDpi(), ExpectedDpi()) << "the prefix was not set to the scale"; }

    // The main window at dpi: its size, its controls and their texts.
    void CheckMainWindow(TDownloadStirpelloForm& form, UINT dpi) {
        EXPECT_EQ(form.Dpi(), dpi);
        RECT r, memo;
        GetWindowRect(form.Handle(), &r);
        EXPECT_NEAR(r.right - r.left, Scaled(664, dpi), 1);
        // The introduction may need a line more than at 96 dpi: the memo and
        // the window then grow alike.
        GetWindowRect(form.Memo1, &memo);
        const int extra = static_cast<int>(memo.bottom - memo.top) - Scaled(161, dpi);
        EXPECT_GE(extra, 0);
        EXPECT_LE(extra, Scaled(19, dpi)) << "more than a line";
        EXPECT_NEAR(r.bottom - r.top, Scaled(472, dpi) + extra, 1);
        EXPECT_EQ(FontHeight(form.Memo1), -Scaled(16, dpi));
        EXPECT_EQ(FontHeight(form.Label6), -Scaled(13, dpi));
        EXPECT_EQ(FontHeight(form.GroupBox1), -Scaled(11, dpi));

        form.ShowDirectory("C:\\Program Files (x86)\\Stirpello\\");
        for (int step = 1; step <= 4; ++step) form.SetMark(step, TStepMark::Arrow);
        ExpectChildrenInside(form.Handle());
        for (HWND h : {form.Memo1, form.Button1, form.Label2, form.Edit1, form.Label1, form.Label3, form.Label4,
                       form.Label5, form.Label6})
            ExpectTextFits(h);
        for (const char* caption : kProgressCaptions) ExpectTextFits(form.GroupBox1, caption);
        for (TStepMark mark : {TStepMark::Arrow, TStepMark::Check, TStepMark::Cross}) {
            form.SetMark(2, mark);
            ExpectTextFits(form.s2Mark);
            EXPECT_EQ(FontHeight(form.s2Mark), -Scaled(13, dpi));
        }
        // The picture is drawn for the scale, not stretched.
        BITMAP bm = {};
        GetObjectA(reinterpret_cast<HBITMAP>(SendMessageA(form.LMDNImage1, STM_GETIMAGE, IMAGE_BITMAP, 0)),
                   sizeof bm, &bm);
        EXPECT_EQ(bm.bmWidth, Scaled(185, dpi));
        EXPECT_EQ(bm.bmHeight, Scaled(121, dpi));
    }

    void CheckDownloadWindow(TFileDownloader& window, UINT dpi) {
        EXPECT_EQ(window.Dpi(), dpi);
        RECT c;
        GetClientRect(window.Handle(), &c);
        EXPECT_NEAR(c.right, Scaled(618, dpi), 1);
        EXPECT_NEAR(c.bottom, Scaled(243, dpi), 1);
        ExpectChildrenInside(window.Handle());
        // The longest texts the window shows.
        const struct {
            TFileDownloader::TControlId id;
            const char* text;
        } texts[] = {
            {TFileDownloader::idUrlEdit, "http://download.stirpello.example/stirpello/updates/modules/Stirpello.exe"},
            {TFileDownloader::idSaveToEdit, "C:\\Program Files (x86)\\Stirpello\\Download\\Stirpello.exe"},
            {TFileDownloader::idFileSizeEdit, "2047.99MB"},
            {TFileDownloader::idAlreadyDownloadedEdit, "1023KB"},
            {TFileDownloader::idRemainingEdit, "999 Bytes"},
            {TFileDownloader::idTimeRemainingEdit, "99:59:59"},
            {TFileDownloader::idRetryLabel, "Resetting connection..."},
            {TFileDownloader::idRetryLabel, "Retrying... (5 of 5)"},
            {TFileDownloader::idProgressBar, "100%"},
        };
        for (const auto& t : texts) {
            SetWindowTextA(window.Control(t.id), t.text);
            ExpectTextFits(window.Control(t.id));
        }
        std::vector<HWND> children;
        EnumChildWindows(window.Handle(), CollectChild, reinterpret_cast<LPARAM>(&children));
        for (HWND h : children)
            if (GetDlgCtrlID(h) == -1 || GetDlgCtrlID(h) == TFileDownloader::idCancelButton) ExpectTextFits(h);
    }
};

TEST_F(DisplayScale, MainWindowGrowsWithTheScaleAndItsTextFits) {
    const UINT dpi = ExpectedDpi();
    TDownloadStirpelloForm form(GetModuleHandleA(nullptr));
    form.Show();
    form.ProcessMessages();
    CheckMainWindow(form, dpi);
    Report("main window", form.Handle(), dpi);
    // Up to 150% it fits a 1920 x 1080 screen less a task bar (48 pixels at
    // 96 dpi, scaled).
    if (dpi <= 144) {
        RECT r;
        GetWindowRect(form.Handle(), &r);
        EXPECT_LE(r.right - r.left, 1920);
        EXPECT_LE(r.bottom - r.top, 1080 - Scaled(48, dpi));
    }
    SaveScreenshot("main-window-" + std::to_string(dpi) + "dpi.png", form.Handle());
}

TEST_F(DisplayScale, DownloadWindowGrowsWithTheScaleAndItsTextFits) {
    const UINT dpi = ExpectedDpi();
    TFileDownloader window(nullptr);
    ShowWindow(window.Handle(), SW_SHOWNA);
    CheckDownloadWindow(window, dpi);
    Report("download window", window.Handle(), dpi);
    SaveScreenshot("download-window-" + std::to_string(dpi) + "dpi.png", window.Handle());
}

// The setting of the utility's manifest, as the system reads it ("" when
// absent). Wine answers "per monitor" for every window whatever its program
// declares, so the declaration is checked here and its effect on Windows.
std::wstring ManifestSetting(const std::string& exe, const wchar_t* ns, const wchar_t* name) {
    using TQuery = BOOL(WINAPI*)(DWORD, HANDLE, const wchar_t*, const wchar_t*, wchar_t*, SIZE_T, SIZE_T*);
    auto query = reinterpret_cast<TQuery>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "QueryActCtxSettingsW")));
    if (query == nullptr) return L"<no QueryActCtxSettingsW>";
    ACTCTXA context = {};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = exe.c_str();
    context.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE ctx = CreateActCtxA(&context);
    if (ctx == INVALID_HANDLE_VALUE) return L"<no manifest: " + std::to_wstring(GetLastError()) + L">";
    wchar_t value[128] = {};
    SIZE_T written = 0;
    const bool found = query(0, ctx, ns, name, value, 128, &written) != FALSE;
    ReleaseActCtx(ctx);
    return found ? value : L"";
}

TEST(DisplayScaleManifest, TheUtilityDeclaresPerMonitorAwareness) {
    const std::string exe = testsupport::ExeDir() + "DownloadStirpelloUpdate.exe";
    EXPECT_EQ(ManifestSetting(exe, L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
              L"PerMonitorV2, PerMonitor");
    EXPECT_EQ(ManifestSetting(exe, L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"),
              L"true/pm");
}

// The utility itself grows with the scale.
TEST_F(DisplayScale, TheUtilityIsDrawnAtTheScale) {
    const UINT dpi = ExpectedDpi();
    const std::string exe = testsupport::ExeDir() + "DownloadStirpelloUpdate.exe";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::string commandLine = "\"" + exe + "\"";
    ASSERT_TRUE(CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    HWND window = nullptr;
    try {
        window = TGuiDriver::WaitWindow(kMainWindowCaption, 20000);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    if (window != nullptr) {
        RECT r;
        GetWindowRect(window, &r);
        EXPECT_NEAR(r.right - r.left, Scaled(664, dpi), 1);
        EXPECT_GE(r.bottom - r.top, Scaled(472, dpi) - 1);
        Report("the utility's main window", window, dpi);
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
    if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        ADD_FAILURE() << "the utility did not close";
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

// Message boxes and the file dialog are the system's own and scale
// themselves; they still belong to the main window, and the dialog's
// controls lie inside it.
TEST_F(DisplayScale, LocatorBoxAndDialogBelongToTheMainWindow) {
    const UINT dpi = ExpectedDpi();
    TDownloadStirpelloForm form(GetModuleHandleA(nullptr));
    form.Show();
    form.ProcessMessages();
    const DWORD mainThread = GetCurrentThreadId();
    HWND boxOwner = nullptr, dialogOwner = nullptr;
    std::string error;
    std::thread driver([&] {
        try {
            TMessageBox box = TGuiDriver::WaitMessageBox("Error opening file find dialog", "", 10000);
            boxOwner = GetWindow(box.Handle, GW_OWNER);
            TGuiDriver::Answer(box, IDOK);
            HWND dialog = TGuiDriver::WaitWindow("Open", 10000);
            dialogOwner = GetWindow(dialog, GW_OWNER);
            Report("locator dialog", dialog, dpi);
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        } catch (const std::exception& e) {
            error = e.what();
            PostThreadMessageA(mainThread, WM_QUIT, 0, 0);
        }
    });
    TWin32LocatorUI ui(form.Handle(), kApplicationTitle);
    ui.ShowMessage("Error opening file find dialog");
    TOpenDialogSetup setup;
    setup.Filter = "Program Files (*.exe)|*.exe";
    setup.FilterIndex = 1;
    setup.FileName = "SPEngine.exe";
    setup.Options = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST;
    std::string chosen;
    const bool picked = error.empty() && ui.ExecuteOpenDialog(setup, chosen);
    driver.join();
    ASSERT_EQ(error, "");
    EXPECT_FALSE(picked);
    EXPECT_EQ(boxOwner, form.Handle());
    EXPECT_EQ(dialogOwner, form.Handle());
}

// Dragged to a monitor of another scale, each window takes the suggested
// rectangle and lays itself out again, with fonts made for the new DPI.
TEST_F(DisplayScale, WindowsLayThemselvesOutAgainWhenTheDpiChanges) {
    const UINT start = ExpectedDpi();
    TDownloadStirpelloForm form(GetModuleHandleA(nullptr));
    form.Show();
    form.ProcessMessages();
    TFileDownloader window(nullptr);
    ShowWindow(window.Handle(), SW_SHOWNA);
    for (UINT dpi : {120u, 144u, 192u, 96u, start}) {
        SCOPED_TRACE(std::to_string(dpi) + " dpi");
        // A window taller than the screen is cut to it here; a monitor at
        // that scale would be large enough.
        if (Scaled(472 + 40, dpi) > GetSystemMetrics(SM_CYMAXTRACK)) continue;
        RECT suggested = {40, 30, 40 + Scaled(664, dpi), 30 + Scaled(472, dpi)};
        SendMessageA(form.Handle(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        RECT now;
        GetWindowRect(form.Handle(), &now);
        EXPECT_EQ(now.left, suggested.left);
        EXPECT_EQ(now.top, suggested.top);
        CheckMainWindow(form, dpi);

        const RECT outer = TDpiLayout(dpi).WindowRectForClient(618, 243, GetWindowLongA(window.Handle(), GWL_STYLE),
                                                               GetWindowLongA(window.Handle(), GWL_EXSTYLE));
        suggested = {60, 50, 60 + outer.right - outer.left, 50 + outer.bottom - outer.top};
        SendMessageA(window.Handle(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        GetWindowRect(window.Handle(), &now);
        EXPECT_TRUE(EqualRect(&now, &suggested));
        // Where the system's frame does not grow with the DPI (before
        // Windows 10, and under Wine) the client keeps the rest.
        if (dpi == start) CheckDownloadWindow(window, dpi);
        else ExpectChildrenInside(window.Handle());
    }
}

}  // namespace
