#include "app/DownloadStirpelloForm_win32.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>

#include "app/AccessibleMark_win32.h"
#include "app/ControlName_win32.h"
#include "fileutil/Errors.h"
#include "fileutil/PathText.h"
#include "fileutil/Stream.h"

namespace {

constexpr int kButton1Id = 100;
constexpr int kMemo1Id = 101;
constexpr int kEdit1Id = 102;
// The bottom of Memo1 at 96 dpi: where the introduction opens room.
constexpr int kBelowMemo1 = 16 + 161;

std::atomic<bool> gBusy{false};

// The introduction; every line but the last ends with a blank so that the
// lines read as one paragraph.
const char* const kIntroduction[] = {
    "Stirpello normally checks for updates automatically when you run it. This utility is more ",
    "\"failsafe\". It will identify update problems such as an outdated Stirpello update module, ",
    "bad configurations, blocked internet access, etc. It can also fix many of these issues for ",
    "you. After analyzing your setup, you'll be prompted to run the update module. You may ",
    "rerun this at a later time if your download fails to complete. If you have problems, send an ",
    "email to support@stirpello.example immediately after running and closing this utility... let us ",
    "know what the problem is and what you've tried to do to fix it. You must paste into that ",
    "email the debug log that this utility places into the windows clipboard on exit.",
};

// A font for probing which glyphs a face has; the window's own fonts are
// made by its layout, for its DPI.
HFONT MakeFont(int height, int weight, const char* face, BYTE charset = DEFAULT_CHARSET) {
    return CreateFontA(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, charset, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
}

// A movable global copy of bytes, as the clipboard takes it; nullptr when
// it cannot be made.
HGLOBAL GlobalCopy(const void* data, size_t size) {
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, size);
    if (mem == nullptr) return nullptr;
    void* p = GlobalLock(mem);
    if (p == nullptr) {
        GlobalFree(mem);
        return nullptr;
    }
    std::memcpy(p, data, size);
    GlobalUnlock(mem);
    return mem;
}

void SetClipboardFormat(UINT format, const void* data, size_t size) {
    HGLOBAL mem = GlobalCopy(data, size);
    if (mem != nullptr && SetClipboardData(format, mem) == nullptr) GlobalFree(mem);
}

// Puts text on the clipboard as ANSI text and as Unicode text converted from
// the ANSI code page (left to itself, Windows would convert with the keyboard
// language's code page); a failure is ignored. Another program (a clipboard
// manager, a remote desktop's sync) may hold the clipboard for a moment, so
// opening it is tried every 20 ms up to attempts times.
void PutOnClipboard(HWND owner, const std::string& text, int attempts) {
    std::wstring wide;
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size() + 1),
                                      nullptr, 0);
    if (n > 0) {
        wide.resize(static_cast<size_t>(n));
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size() + 1), &wide[0], n);
    }
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (OpenClipboard(owner)) {
            EmptyClipboard();
            SetClipboardFormat(CF_TEXT, text.c_str(), text.size() + 1);
            if (!wide.empty())
                SetClipboardFormat(CF_UNICODETEXT, wide.c_str(), wide.size() * sizeof(wchar_t));
            CloseClipboard();
            return;
        }
        Sleep(20);
    }
}

// The reminder at activation may give up soon; the log on close is what the
// user came for, so it waits up to 2 s.
const int kActivationAttempts = 10;
const int kCloseAttempts = 100;

// Whether the font selected into dc has a glyph for ch. Symbol fonts map
// their characters at 0xF000 + code, so both forms are asked.
bool HasGlyph(HDC dc, wchar_t ch, bool symbol) {
    WORD index = 0xFFFF;
    if (GetGlyphIndicesW(dc, &ch, 1, &index, GGI_MARK_NONEXISTING_GLYPHS) != GDI_ERROR && index != 0xFFFF &&
        index != 0)
        return true;
    if (!symbol) return false;
    wchar_t mapped = static_cast<wchar_t>(0xF000 | ch);
    index = 0xFFFF;
    return GetGlyphIndicesW(dc, &mapped, 1, &index, GGI_MARK_NONEXISTING_GLYPHS) != GDI_ERROR &&
           index != 0xFFFF && index != 0;
}

bool SelectedFaceIs(HDC dc, const char* face) {
    char actual[LF_FACESIZE] = {};
    GetTextFaceA(dc, LF_FACESIZE, actual);
    return lstrcmpiA(actual, face) == 0;
}

}  // namespace

TDownloadStirpelloForm::TDownloadStirpelloForm(HINSTANCE instance)
    : instance_(instance), application_(instance, kApplicationTitle) {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &TDownloadStirpelloForm::WndProc;
    wc.hInstance = instance_;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kMainWindowClass;
    WNDCLASSEXA existing = {};
    if (!GetClassInfoExA(instance_, kMainWindowClass, &existing) && RegisterClassExA(&wc) == 0)
        throw EOSError("Cannot register the main window class: " + SysErrorMessage(GetLastError()), GetLastError());

    // FormCreate: an empty run log, not yet activated, no log directory.
    activated_ = false;
    logDirectory_.clear();

    // Made at the design position and outer size, hidden, then laid out for
    // the DPI of the monitor it is on.
    handle_ = CreateWindowExA(WS_EX_CONTROLPARENT, kMainWindowClass, kMainWindowCaption,
                              WS_OVERLAPPEDWINDOW, 155, 29, 664, 472, application_.Handle(), nullptr,
                              instance_, this);
    if (handle_ == nullptr)
        throw EOSError("Cannot create the main window: " + SysErrorMessage(GetLastError()), GetLastError());
    layout_.SetDpi(WindowDpi(handle_));
    SetWindowPos(handle_, nullptr, layout_.Scale(155), layout_.Scale(29), layout_.Scale(664), layout_.Scale(472),
                 SWP_NOZORDER | SWP_NOACTIVATE);
    icons_.Set(handle_, instance_, 1, layout_.Dpi());
    application_.SetMainWindow(handle_);
    try {
        CreateComponents();
    } catch (...) {
        // No destructor runs for this object: the window must not outlive it
        // pointing at it, or the caller's error box would pump messages into
        // freed memory. It is detached before it goes, so its last messages
        // reach nothing of ours.
        DestroyComponents();
        SetWindowLongPtrA(handle_, GWLP_USERDATA, 0);
        DestroyWindow(handle_);
        handle_ = nullptr;
        ReleaseResources();
        throw;
    }
}

TDownloadStirpelloForm::~TDownloadStirpelloForm() {
    if (handle_ != nullptr) DestroyWindow(handle_);
    ReleaseResources();
}

void TDownloadStirpelloForm::ReleaseResources() {
    if (windowBrush_ != nullptr) DeleteObject(windowBrush_);
    if (picture_ != nullptr) DeleteObject(picture_);
    windowBrush_ = nullptr;
    picture_ = nullptr;
}

HWND TDownloadStirpelloForm::MakeControl(const char* name, const char* cls, const char* text, DWORD style,
                                         DWORD exStyle, int left, int top, int width, int height, HWND parent,
                                         int font, int id) {
    HWND h = CreateWindowExA(exStyle, cls, text, WS_CHILD | style, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    if (h == nullptr) throw EOSError(std::string("Cannot create ") + name, GetLastError());
    // One-line labels keep all of their text at every scale.
    const bool label = std::strcmp(cls, "STATIC") == 0 && (style & SS_TYPEMASK) == SS_LEFTNOWORDWRAP;
    layout_.Place(h, left, top, width, height, font, label);
    SetControlName(h, name);
    return h;
}

void TDownloadStirpelloForm::CreateComponents() {
    formFont_ = layout_.AddFont({11, FW_NORMAL, "Arial"});
    memoFont_ = layout_.AddFont({16, FW_NORMAL, "Arial"});
    labelFont_ = layout_.AddFont({13, FW_NORMAL, "Arial"});
    buttonFont_ = layout_.AddFont({16, FW_BOLD, "Arial"});
    warningFont_ = layout_.AddFont({13, FW_BOLD, "Arial"});
    windowBrush_ = CreateSolidBrush(GetSysColor(COLOR_WINDOW));
    ChooseMarkGlyphs();

    // One paragraph that the memo wraps to its own width: the lines' ends
    // are not line breaks.
    std::string intro;
    for (const char* line : kIntroduction) intro += line;

    // Created in tab order: Memo1, Button1, Edit1, GroupBox1.
    // The text comes after the font: given at creation, it would be wrapped
    // twice, with the system font first.
    Memo1 = MakeControl("Memo1", "EDIT", "", WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                        WS_EX_CLIENTEDGE, 8, 16, 633, 161, handle_, memoFont_, kMemo1Id);
    SetWindowTextA(Memo1, intro.c_str());
    Button1 = MakeControl("Button1", "BUTTON", "Click here to begin the update process",
                          WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 80, 368, 505, 33, handle_, buttonFont_,
                          kButton1Id);
    Edit1 = MakeControl("Edit1", "EDIT", "", WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 16, 336,
                        625, 22, handle_, formFont_, kEdit1Id);
    GroupBox1 = MakeControl("GroupBox1", "BUTTON", "Progress", WS_VISIBLE | BS_GROUPBOX, WS_EX_CONTROLPARENT, 200,
                            184, 441, 129, handle_, formFont_);
    Label1 = MakeControl("Label1", "STATIC", "Step 1) Locate your Stirpello program directory",
                         WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 40, 24, 289, 16, GroupBox1, labelFont_);
    Label3 = MakeControl("Label3", "STATIC", "Step 2) Download current Stirpello update module, if needed",
                         WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 40, 48, 365, 16, GroupBox1, labelFont_);
    Label4 = MakeControl("Label4", "STATIC", "Step 3) Replace existing update module with new one, if needed",
                         WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 40, 72, 370, 16, GroupBox1, labelFont_);
    Label5 = MakeControl("Label5", "STATIC", "Step 4) Run update module to download and apply update",
                         WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 40, 96, 334, 16, GroupBox1, labelFont_);

    // The marks are Unicode windows so that a stand-in glyph can be shown
    // where the symbol font lacks one. Hidden until their step is current.
    const struct {
        HWND* field;
        const char* name;
        int top;
    } marks[] = {{&S1Mark, "S1Mark", 24}, {&s2Mark, "s2Mark", 48}, {&s3Mark, "s3Mark", 72}, {&s4Mark, "s4Mark", 96}};
    for (const auto& m : marks) {
        const wchar_t text[2] = {arrow_.ch, 0};
        HWND h = CreateWindowExW(0, L"STATIC", text, WS_CHILD | SS_LEFT | SS_NOPREFIX, 0, 0, 0, 0, GroupBox1,
                                 nullptr, instance_, nullptr);
        if (h == nullptr) throw EOSError(std::string("Cannot create ") + m.name, GetLastError());
        layout_.Place(h, 24, m.top, 14, 15, arrow_.font, true);
        SetControlName(h, m.name);
        MakeAccessibleMark(h);
        *m.field = h;
    }

    LMDNImage1 = MakeControl("LMDNImage1", "STATIC", "", WS_VISIBLE | SS_BITMAP, 0, 8, 192, 185, 121, handle_,
                             formFont_);
    ShowPicture();
    Label2 = MakeControl(
        "Label2", "STATIC",
        "This utility will update the copy of Stirpello you have installed in the directory shown below:",
        SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 64, 320, 541, 16, handle_, labelFont_);
    Label6 = MakeControl(
        "Label6", "STATIC",
        "Make sure both Stirpello and your genealogy software are closed prior to starting the update!",
        WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 24, 408, 607, 16, handle_, warningFont_);
    FitIntroduction();
}

void TDownloadStirpelloForm::ShowPicture() {
    HBITMAP picture = DrawPicture(layout_, 185, 121);
    if (picture == nullptr) return;
    SendMessageA(LMDNImage1, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture));
    if (picture_ != nullptr) DeleteObject(picture_);
    picture_ = picture;
    // SS_BITMAP sizes the control to the picture; keep the design size.
    layout_.Place(LMDNImage1, 8, 192, 185, 121);
}

void TDownloadStirpelloForm::FitIntroduction() {
    // Glyph widths round up at some scales, so the paragraph may wrap into
    // one line more than at 96 dpi: the memo then grows to show all of it,
    // and the window with it, moving what lies below down.
    layout_.SetExtraRoom(handle_, kBelowMemo1, 0);
    RECT room;
    SendMessageA(Memo1, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&room));
    HDC dc = GetDC(Memo1);
    HGDIOBJ old = SelectObject(dc, layout_.Font(memoFont_));
    TEXTMETRICA tm = {};
    GetTextMetricsA(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(Memo1, dc);
    const int lines = static_cast<int>(SendMessageA(Memo1, EM_GETLINECOUNT, 0, 0));
    const int extra = std::max(0, lines * static_cast<int>(tm.tmHeight) - static_cast<int>(room.bottom - room.top));
    layout_.SetExtraRoom(handle_, kBelowMemo1, extra);
    SetWindowPos(handle_, nullptr, 0, 0, layout_.Scale(664), layout_.Scale(472) + extra,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TDownloadStirpelloForm::DpiChanged(UINT dpi, const RECT& suggested) {
    layout_.SetDpi(dpi);
    ShowPicture();
    icons_.Set(handle_, instance_, 1, dpi);
    // The suggested place; the size is the layout's own, with the room the
    // introduction needs at this DPI.
    SetWindowPos(handle_, nullptr, suggested.left, suggested.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    FitIntroduction();
    InvalidateRect(handle_, nullptr, TRUE);
}

void TDownloadStirpelloForm::ChooseMarkGlyphs() {
    // Which faces have the glyphs does not depend on the size: the probes
    // are made once, at the design height.
    HFONT symbolProbe = MakeFont(13, FW_NORMAL, "Wingdings", SYMBOL_CHARSET);
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, symbolProbe);
    const bool haveSymbolFont = SelectedFaceIs(dc, "Wingdings");
    const wchar_t codes[3] = {0xE8, 0xFC, 0xFB};
    bool symbolHas[3];
    for (int i = 0; i < 3; ++i) symbolHas[i] = haveSymbolFont && HasGlyph(dc, codes[i], true);

    // Stand-ins: a right-pointing arrow, a check mark, a ballot cross.
    const wchar_t standIns[3] = {0x2192, 0x2713, 0x2717};
    if (!(symbolHas[0] && symbolHas[1] && symbolHas[2])) {
        for (const char* face : {"Segoe UI Symbol", "DejaVu Sans", "Arial Unicode MS", "Lucida Sans Unicode"}) {
            HFONT candidate = MakeFont(13, FW_NORMAL, face);
            SelectObject(dc, candidate);
            bool fits = SelectedFaceIs(dc, face);
            for (int i = 0; i < 3 && fits; ++i) fits = symbolHas[i] || HasGlyph(dc, standIns[i], false);
            SelectObject(dc, symbolProbe);
            DeleteObject(candidate);
            if (fits) {
                markUnicodeFont_ = layout_.AddFont({13, FW_NORMAL, face});
                break;
            }
        }
    }
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    DeleteObject(symbolProbe);
    markSymbolFont_ = layout_.AddFont({13, FW_NORMAL, "Wingdings", SYMBOL_CHARSET});

    TGlyph* glyphs[3] = {&arrow_, &check_, &cross_};
    for (int i = 0; i < 3; ++i) {
        if (symbolHas[i] || markUnicodeFont_ < 0) {
            // Without any font that has it, the symbol code is the best guess.
            *glyphs[i] = TGlyph{markSymbolFont_, codes[i]};
        } else {
            *glyphs[i] = TGlyph{markUnicodeFont_, standIns[i]};
        }
    }
}

// The decorative picture: a small family tree on a parchment ground, drawn
// at the layout's DPI (not stretched from the 96-dpi size, which would blur
// it): the ground row by row, the tree through a scaling transform.
HBITMAP TDownloadStirpelloForm::DrawPicture(const TDpiLayout& layout, int designWidth, int designHeight) {
    const int width = layout.Scale(designWidth), height = layout.Scale(designHeight);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    if (bmp == nullptr || dc == nullptr) {
        if (dc != nullptr) DeleteDC(dc);
        if (bmp != nullptr) DeleteObject(bmp);
        return nullptr;
    }
    HGDIOBJ oldBmp = SelectObject(dc, bmp);

    for (int y = 0; y < height; ++y) {
        const int t = y * 255 / (height - 1);
        HBRUSH band = CreateSolidBrush(RGB(250 - t / 8, 240 - t / 6, 214 - t / 4));
        RECT r = {0, y, width, y + 1};
        FillRect(dc, &r, band);
        DeleteObject(band);
    }
    HBRUSH frame = CreateSolidBrush(RGB(120, 84, 48));
    for (int k = 0; k < layout.Scale(1); ++k) {
        RECT edge = {k, k, width - k, height - k};
        FrameRect(dc, &edge, frame);
    }
    DeleteObject(frame);

    SetGraphicsMode(dc, GM_ADVANCED);
    const float scale = static_cast<float>(width) / static_cast<float>(designWidth);
    const XFORM toDpi = {scale, 0, 0, scale, 0, 0};
    SetWorldTransform(dc, &toDpi);
    // Generations from the root at the bottom up to the leaves at the top.
    struct Node {
        int x, y, parent;
    };
    const Node nodes[] = {
        {92, 100, -1},                                              // root
        {52, 72, 0},  {132, 72, 0},                                 // parents
        {30, 44, 1},  {72, 44, 1},  {112, 44, 2}, {154, 44, 2},     // grandparents
        {20, 18, 3},  {40, 18, 3},  {62, 18, 4},  {82, 18, 4},      // great-grandparents
        {102, 18, 5}, {122, 18, 5}, {144, 18, 6}, {164, 18, 6},
    };
    HPEN branch = CreatePen(PS_SOLID, 2, RGB(120, 84, 48));
    HGDIOBJ oldPen = SelectObject(dc, branch);
    for (const Node& n : nodes) {
        if (n.parent < 0) continue;
        const Node& p = nodes[n.parent];
        const int midY = (n.y + p.y) / 2;
        MoveToEx(dc, p.x, p.y, nullptr);
        LineTo(dc, p.x, midY);
        LineTo(dc, n.x, midY);
        LineTo(dc, n.x, n.y);
    }
    MoveToEx(dc, 92, 100, nullptr);
    LineTo(dc, 92, 116);
    HPEN rim = CreatePen(PS_SOLID, 1, RGB(70, 50, 30));
    SelectObject(dc, rim);
    const COLORREF shades[] = {RGB(46, 125, 50), RGB(67, 160, 71), RGB(102, 187, 106), RGB(156, 204, 101)};
    for (const Node& n : nodes) {
        const int depth = n.y == 100 ? 0 : n.y == 72 ? 1 : n.y == 44 ? 2 : 3;
        const int radius = 8 - depth;
        HBRUSH leaf = CreateSolidBrush(shades[depth]);
        HGDIOBJ oldBrush = SelectObject(dc, leaf);
        Ellipse(dc, n.x - radius, n.y - radius, n.x + radius + 1, n.y + radius + 1);
        SelectObject(dc, oldBrush);
        DeleteObject(leaf);
    }
    SelectObject(dc, oldPen);
    DeleteObject(branch);
    DeleteObject(rim);

    SelectObject(dc, oldBmp);
    DeleteDC(dc);
    return bmp;
}

void TDownloadStirpelloForm::Show() {
    if (handle_ == nullptr) return;
    application_.Show();
    ShowWindow(handle_, SW_SHOWNORMAL);
    UpdateWindow(handle_);
    SetForegroundWindow(handle_);
}

void TDownloadStirpelloForm::MakeMainWindow() { mainWindow_ = true; }

LRESULT CALLBACK TDownloadStirpelloForm::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        static_cast<TDownloadStirpelloForm*>(cs->lpCreateParams)->handle_ = hwnd;
    }
    auto* form = reinterpret_cast<TDownloadStirpelloForm*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (form == nullptr) return DefWindowProcA(hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        form->handle_ = nullptr;
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
    // No exception may unwind through the system's code.
    try {
        return form->HandleMessage(msg, wp, lp);
    } catch (const std::exception& e) {
        MessageBoxA(hwnd, e.what(), kApplicationTitle, MB_OK | MB_ICONERROR);
    } catch (...) {
        MessageBoxA(hwnd, "Unexpected error", kApplicationTitle, MB_OK | MB_ICONERROR);
    }
    return 0;
}

LRESULT TDownloadStirpelloForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_COMMAND:
        if (LOWORD(wp) == kButton1Id && HIWORD(wp) == BN_CLICKED) {
            Button1Click();
            return 0;
        }
        break;
    case WM_ACTIVATE:
        if (LOWORD(wp) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus != nullptr && IsChild(handle_, focus)) lastFocus_ = focus;
        } else {
            FormActivate();
            if (!HIWORD(wp)) {
                // At first the button, so that Enter starts the run.
                HWND target = (lastFocus_ != nullptr && IsWindow(lastFocus_)) ? lastFocus_ : Button1;
                SetFocus(target);
            }
            return 0;
        }
        break;
    case DM_GETDEFID:
        // Enter wherever the focus is (IsDialogMessage asks) presses Button1.
        if (Button1 != nullptr) return MAKELRESULT(kButton1Id, DC_HASDEFID);
        break;
    case WM_SYSCOMMAND:
        // The task-bar button is the application window's: minimised, it
        // hides this window with it and keeps the button.
        if ((wp & 0xFFF0) == SC_MINIMIZE) {
            application_.Minimize();
            return 0;
        }
        break;
    case WM_SETCURSOR:
        if (Busy()) {
            SetCursor(LoadCursor(nullptr, IDC_WAIT));
            return TRUE;
        }
        break;
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wp);
        HWND control = reinterpret_cast<HWND>(lp);
        if (control == Memo1 || control == Edit1) {
            // Read-only text boxes keep the window colour.
            SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
            SetBkColor(dc, GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(windowBrush_);
        }
        if (control == Label6) {
            SetTextColor(dc, RGB(255, 0, 0));
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        break;
    }
    case WM_DPICHANGED:
        // Dragged to a monitor of another scale: the suggested rectangle
        // keeps the window where the user put it.
        DpiChanged(HIWORD(wp), *reinterpret_cast<const RECT*>(lp));
        return 0;
    case WM_CLOSE:
        FormClose();
        DestroyWindow(handle_);
        return 0;
    case WM_DESTROY:
        application_.Hide();
        DestroyComponents();
        if (mainWindow_) PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(handle_, msg, wp, lp);
}

void TDownloadStirpelloForm::DestroyComponents() {
    // A run may go on after the window closed under it (the user closed it
    // while the run processed messages): its later calls must touch nothing.
    for (HWND* h : {&Memo1, &Button1, &Label2, &Edit1, &GroupBox1, &Label1, &Label3, &Label4, &Label5, &S1Mark,
                    &s2Mark, &s3Mark, &s4Mark, &LMDNImage1, &Label6}) {
        if (*h != nullptr) {
            ClearControlName(*h);
            layout_.Forget(*h);
        }
        *h = nullptr;
    }
}

void TDownloadStirpelloForm::Button1Click() {
    // The button stays enabled during a run (message boxes and waits process
    // messages); a press inside a run must not start a second one within it.
    if (running_ || !runHandler_) return;
    running_ = true;
    struct TReset {
        bool& flag;
        ~TReset() { flag = false; }
    } reset{running_};
    runHandler_(*this);
}

void TDownloadStirpelloForm::FormActivate() {
    if (activated_) return;
    PutOnClipboard(handle_, kActivationClipboardText, kActivationAttempts);
    ShowWindow(Label2, SW_HIDE);
    ShowWindow(Edit1, SW_HIDE);
    activated_ = true;
}

void TDownloadStirpelloForm::FormClose() {
    // Without this line a log that a user's close ended reads like one cut
    // off in the middle; the progress line says where the run was.
    if (running_ && !closingByRun_ && !runLog_.Empty()) {
        char caption[256] = {};
        if (GroupBox1 != nullptr) GetWindowTextA(GroupBox1, caption, sizeof caption);
        runLog_.Add(TRunMsg::ClosedByUser, {std::to_string(arrowStep_), caption});
    }
    if (runLog_.Empty()) {
        PutOnClipboard(handle_, kEmptyLogClipboardText, kCloseAttempts);
        return;
    }
    const std::string text = runLog_.Text();
    PutOnClipboard(handle_, text, kCloseAttempts);
    if (logDirectory_.empty()) return;
    try {
        TFileStream file(LogFilePath(logDirectory_), fmCreate);
        size_t done = 0;
        while (done < text.size()) {
            const size_t chunk = std::min<size_t>(text.size() - done, 1 << 20);
            file.Write(text.data() + done, static_cast<int32_t>(chunk));
            done += chunk;
        }
    } catch (const std::exception&) {
        // Closing always succeeds; the clipboard already has the log.
    }
}

std::string TDownloadStirpelloForm::LogFilePath(const std::string& directory) {
    if (EndsWithBackslash(directory)) return directory + kLogFileName;
    return directory + "\\" + kLogFileName;
}

void TDownloadStirpelloForm::SetProgress(const std::string& caption) {
    if (GroupBox1 != nullptr) SetWindowTextA(GroupBox1, caption.c_str());
    ProcessMessages();
}

void TDownloadStirpelloForm::SetMark(int step, TStepMark mark) {
    HWND marks[4] = {S1Mark, s2Mark, s3Mark, s4Mark};
    if (step < 1 || step > 4 || marks[step - 1] == nullptr) return;
    HWND h = marks[step - 1];
    if (mark == TStepMark::Arrow) arrowStep_ = step;
    const TGlyph& glyph = mark == TStepMark::Check ? check_ : mark == TStepMark::Cross ? cross_ : arrow_;
    const wchar_t text[2] = {glyph.ch, 0};
    SetWindowTextW(h, text);
    layout_.SetControlFont(h, glyph.font);
    // What a screen reader says for the glyph; nothing for a step to come.
    SetAccessibleMarkName(h, mark == TStepMark::Check   ? L"done"
                             : mark == TStepMark::Cross ? L"failed"
                             : mark == TStepMark::Arrow ? L"in progress"
                                                        : L"");
    // A hidden mark goes back to its design caption, the arrow.
    ShowWindow(h, mark == TStepMark::Hidden ? SW_HIDE : SW_SHOW);
    InvalidateRect(h, nullptr, TRUE);
    ProcessMessages();
}

void TDownloadStirpelloForm::ShowDirectory(const std::string& directory) {
    if (Edit1 == nullptr) return;
    SetWindowTextA(Edit1, directory.c_str());
    ShowWindow(Label2, SW_SHOW);
    ShowWindow(Edit1, SW_SHOW);
}

void TDownloadStirpelloForm::ShowMessage(const std::string& text) {
    if (IsClosed()) return;
    MessageBoxA(handle_, text.c_str(), kApplicationTitle, MB_OK);
}

TConfirmAnswer TDownloadStirpelloForm::Confirm(const std::string& text) {
    if (IsClosed()) return crCancel;
    switch (MessageBoxA(handle_, text.c_str(), "Confirm", MB_YESNOCANCEL | MB_ICONQUESTION)) {
    case IDYES:
        return crYes;
    case IDNO:
        return crNo;
    default:
        return crCancel;
    }
}

void TDownloadStirpelloForm::ProcessMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Leave it for the main loop, which ends the program.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (handle_ != nullptr && IsDialogMessageA(handle_, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool TDownloadStirpelloForm::Busy() { return gBusy.load(); }

void TDownloadStirpelloForm::SetBusyCursor(bool busy) {
    gBusy.store(busy);
    // WM_SETCURSOR comes only when the mouse moves; show the change now.
    SetCursor(LoadCursor(nullptr, busy ? IDC_WAIT : IDC_ARROW));
}

void TDownloadStirpelloForm::Close() {
    closingByRun_ = true;
    if (handle_ != nullptr) SendMessageA(handle_, WM_CLOSE, 0, 0);
}
