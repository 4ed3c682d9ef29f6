#include "web/FileDownloader_win32.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "fileutil/Errors.h"
#include "fileutil/FileHelpers.h"
#include "web/Crc32.h"
#include "web/MainThread.h"
#include "web/WebRead.h"

namespace {

const char* const kWindowClass = "TFileDownloader";
const char* const kBarClass = "TFileDownloaderBar";
const UINT_PTR kTimerId = 1;
const UINT kTimerInterval = 2000;
const DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
const DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE;
// Posted from WM_ACTIVATE so that the download starts outside the activation
// sequence (the start processes messages).
const UINT WM_FORM_ACTIVATE = WM_APP + 1;
// How long the closing step waits for a stopped transfer to let go of the file.
const DWORD kReleaseWaitMs = 3000;

using std::chrono::duration_cast;
using std::chrono::milliseconds;

int64_t MsSince(TFileDownloader::TClock::time_point t) {
    return duration_cast<milliseconds>(TFileDownloader::TClock::now() - t).count();
}

int32_t ClampToInt32(int64_t v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

std::string DecimalSeparator() {
    char buf[8] = {0};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buf, sizeof buf) > 1) return buf;
    return ".";
}

// The progress bar: a lowered bevel, a navy fill and the percentage as text
// (the common control draws no text, so this one is drawn here). Its window
// text is the percentage, which also lets a driver read it.
LRESULT CALLBACK BarProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SETTEXT) {
        LRESULT r = DefWindowProcA(hwnd, msg, wParam, lParam);
        InvalidateRect(hwnd, nullptr, FALSE);
        return r;
    }
    if (msg == WM_ERASEBKGND) return 1;
    if (msg != WM_PAINT) return DefWindowProcA(hwnd, msg, wParam, lParam);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT rc;
    GetClientRect(hwnd, &rc);
    char text[16] = {0};
    GetWindowTextA(hwnd, text, sizeof text);
    int percent = atoi(text);
    DrawEdge(dc, &rc, BDR_SUNKENOUTER, BF_RECT | BF_ADJUST);
    FillRect(dc, &rc, GetSysColorBrush(COLOR_BTNFACE));
    RECT fill = rc;
    fill.right = rc.left + (rc.right - rc.left) * percent / 100;
    HBRUSH navy = CreateSolidBrush(RGB(0, 0, 128));
    FillRect(dc, &fill, navy);
    DeleteObject(navy);
    HGDIOBJ oldFont = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(GetParent(hwnd), WM_GETFONT, 0, 0)));
    SetBkMode(dc, TRANSPARENT);
    // The text is white over the fill and black over the rest.
    HRGN clip = CreateRectRgnIndirect(&fill);
    SetTextColor(dc, RGB(0, 0, 0));
    DrawTextA(dc, text, -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectClipRgn(dc, clip);
    SetTextColor(dc, RGB(255, 255, 255));
    DrawTextA(dc, text, -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectClipRgn(dc, nullptr);
    DeleteObject(clip);
    SelectObject(dc, oldFont);
    EndPaint(hwnd, &ps);
    return 0;
}

LRESULT CALLBACK DownloaderProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

void RegisterClasses(HINSTANCE inst) {
    static bool done = false;
    if (done) return;
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kBarClass;
    wc.lpfnWndProc = BarProc;
    RegisterClassExA(&wc);
    wc.lpszClassName = kWindowClass;
    wc.lpfnWndProc = DownloaderProc;
    RegisterClassExA(&wc);
    done = true;
}

}  // namespace

TFileDownloader::TFileDownloader(HWND owner)
    : CreatedAt(TClock::now()), StartedAt(CreatedAt), owner_(owner) {
    HINSTANCE inst = GetModuleHandleA(nullptr);
    RegisterClasses(inst);
    // Made hidden, then sized for the DPI of the monitor it is on.
    hwnd_ = CreateWindowExA(kExStyle, kWindowClass, Caption, kStyle, 0, 0, 0, 0, owner, nullptr, inst, this);
    if (!hwnd_) {
        DWORD code = GetLastError();
        throw EOSError(SysErrorMessage(code), code);
    }
    layout_.SetDpi(WindowDpi(hwnd_));
    Centre();
    CreateControls();
    SetTimer(hwnd_, kTimerId, kTimerInterval, nullptr);
}

TFileDownloader::~TFileDownloader() {
    if (Running) ReleaseReader();
    Reader.reset();
    if (hwnd_) {
        KillTimer(hwnd_, kTimerId);
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

void TFileDownloader::Centre() {
    // The client area is 618 x 243 at 96 dpi.
    const RECT rc = layout_.WindowRectForClient(618, 243, kStyle, kExStyle);
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
    SetWindowPos(hwnd_, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TFileDownloader::DpiChanged(UINT dpi, const RECT& suggested) {
    layout_.SetDpi(dpi);
    SetWindowPos(hwnd_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
                 suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(hwnd_, nullptr, TRUE);
}

void TFileDownloader::CreateControls() {
    HINSTANCE inst = GetModuleHandleA(nullptr);
    // Arial, 13 pixels high at 96 dpi; the layout makes it for the window's DPI.
    font_ = layout_.AddFont({13, FW_NORMAL, "Arial"});
    italicFont_ = layout_.AddFont({13, FW_NORMAL, "Arial", DEFAULT_CHARSET, true});
    struct TControlDesign {
        const char* cls;
        const char* text;
        DWORD style;
        DWORD exStyle;
        int id, x, y, w, h;
    };
    // Labels clip rather than wrap: a wrapped caption loses its second line.
    const DWORD label = WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX;
    const DWORD edit = WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL;
    // Creation order is tab order: the button comes first.
    const TControlDesign designs[] = {
        {"BUTTON", "Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, idCancelButton, 232, 200, 153, 25},
        {"STATIC", "URL:", label, 0, -1, 32, 12, 29, 16},
        {"EDIT", "", edit, WS_EX_CLIENTEDGE, idUrlEdit, 72, 8, 537, 24},
        {"STATIC", "Save To:", label, 0, -1, 11, 44, 50, 16},
        {"EDIT", "", edit, WS_EX_CLIENTEDGE, idSaveToEdit, 72, 40, 537, 24},
        {"STATIC", "File Size:", label, 0, -1, 72, 76, 55, 16},
        {"EDIT", "", edit, WS_EX_CLIENTEDGE, idFileSizeEdit, 136, 72, 80, 24},
        {"STATIC", "Already Downloaded:", label, 0, -1, 232, 76, 122, 16},
        {"EDIT", "", edit, WS_EX_CLIENTEDGE, idAlreadyDownloadedEdit, 360, 72, 80, 24},
        {"STATIC", "Remaining:", label, 0, -1, 456, 76, 65, 16},
        {"EDIT", "", edit, WS_EX_CLIENTEDGE, idRemainingEdit, 528, 72, 80, 24},
        {"STATIC", "", WS_CHILD | WS_VISIBLE | SS_CENTER | SS_NOPREFIX, 0, idRetryLabel, 8, 112, 601, 16},
        {"STATIC", "Estimated Time Remaining:", label, 0, -1, 104, 132, 160, 16},
        {"EDIT", "", edit, WS_EX_CLIENTEDGE, idTimeRemainingEdit, 272, 128, 80, 24},
        {kBarClass, "0%", WS_CHILD | WS_VISIBLE, 0, idProgressBar, 8, 168, 601, 20},
    };
    for (const TControlDesign& s : designs) {
        HWND c = CreateWindowExA(s.exStyle, s.cls, s.text, s.style, 0, 0, 0, 0, hwnd_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(s.id)), inst, nullptr);
        layout_.Place(c, s.x, s.y, s.w, s.h, s.id == idRetryLabel ? italicFont_ : font_, s.style == label);
    }
}

namespace {
LRESULT CALLBACK DownloaderProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return TFileDownloader::WndProc(hwnd, msg, wParam, lParam);
}
}  // namespace

LRESULT CALLBACK TFileDownloader::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<TFileDownloader*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self || !self->hwnd_) return DefWindowProcA(hwnd, msg, wParam, lParam);
    // Nothing may unwind through the window procedure.
    try {
        return self->HandleMessage(msg, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

LRESULT TFileDownloader::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case MsgWorkBegin:
        WorkBegin(wParam, lParam);
        return 0;
    case MsgWork:
        Work(lParam);
        return 0;
    case MsgWorkEnd:
        return 0;
    case WM_TIMER:
        if (wParam == kTimerId) Timer1Timer();
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == idCancelButton && HIWORD(wParam) == BN_CLICKED) CancelButtonClick();
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wParam) != WA_INACTIVE) PostMessageA(hwnd_, WM_FORM_ACTIVATE, 0, 0);
        break;
    case WM_FORM_ACTIVATE:
        FormActivate();
        return 0;
    case WM_GETFONT:
        // The progress bar draws its percentage in the window's font.
        return reinterpret_cast<LRESULT>(layout_.Font(font_));
    case WM_DPICHANGED:
        DpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_CLOSE:
        // The close box and Alt+F4 stop the transfer as Cancel does, so that
        // the closing checks measure a file nobody writes to any more.
        StopTransfer();
        Close(mrCancel);
        return 0;
    }
    return DefWindowProcA(hwnd_, msg, wParam, lParam);
}

std::string TFileDownloader::ControlText(TControlId id) const {
    HWND c = Control(id);
    int n = GetWindowTextLengthA(c);
    std::string s(static_cast<size_t>(n) + 1, '\0');
    s.resize(static_cast<size_t>(GetWindowTextA(c, &s[0], n + 1)));
    return s;
}

void TFileDownloader::SetText(TControlId id, const std::string& text) { SetWindowTextA(Control(id), text.c_str()); }

void TFileDownloader::SetProgress(int percent) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    progress_ = percent;
    SetText(idProgressBar, std::to_string(percent) + "%");
}

void TFileDownloader::ClearSizeEdits() {
    SetText(idFileSizeEdit, "");
    SetText(idAlreadyDownloadedEdit, "");
    SetText(idRemainingEdit, "");
    SetText(idTimeRemainingEdit, "");
}

// --- texts ---

std::string TFileDownloader::SizeText(int32_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + " Bytes";
    if (bytes < 100000) return std::to_string(bytes / 1000) + "KB";
    // Single precision, rounded once to at most four significant digits and
    // at most two decimals, then shown with exactly two decimals.
    const float mb = static_cast<float>(bytes) / 1000000.0f;
    const double v = mb;
    int intDigits = 0;
    for (double p = 1; v >= p; p *= 10) ++intDigits;
    int decimals = 4 - intDigits;
    if (decimals > 2) decimals = 2;
    if (decimals < 0) decimals = 0;
    const double scale = decimals == 2 ? 100 : decimals == 1 ? 10 : 1;
    // Ties round away from zero.
    const long long units = static_cast<long long>(std::floor(v * scale + 0.5)) * (100 / static_cast<long long>(scale));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld%s%02lld", units / 100, DecimalSeparator().c_str(), units % 100);
    return std::string(buf) + "MB";
}

std::string TFileDownloader::TimeText(int32_t seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", static_cast<long>(seconds / 3600),
                  static_cast<long>(seconds / 60 % 60), static_cast<long>(seconds % 60));
    return buf;
}

// --- progress messages ---

void TFileDownloader::WorkBegin(WPARAM wParam, LPARAM lParam) {
    const int32_t total = static_cast<int32_t>(lParam);
    if (total < 500) return;  // bodies of redirects and errors announce little or nothing
    TotalSize = total;
    StartOffset = static_cast<int32_t>(wParam);
    SetText(idFileSizeEdit, SizeText(total));
    SizeKnown = true;
    PumpFromProgress();
}

void TFileDownloader::Work(LPARAM lParam) {
    const int32_t pos = static_cast<int32_t>(lParam);
    Position = pos;
    SetText(idAlreadyDownloadedEdit, SizeText(pos));
    if (!SizeKnown || Position < 1000) return;
    RequestBytes = ClampToInt32(int64_t{pos} - StartOffset);
    const int64_t remaining = int64_t{TotalSize} - pos;
    SetText(idRemainingEdit, SizeText(ClampToInt32(remaining)));
    if (TotalSize > 0) {
        // 64-bit: byte counts times 100 overflow 32 bits beyond 21 MB.
        const int64_t percent = (TotalSize - remaining) * 100 / TotalSize;
        // A jump of 90 points or more is taken for a stray message.
        if (std::llabs(percent - progress_) < 90) SetProgress(static_cast<int>(percent));
    }
    UpdateTimeRemaining();
}

void TFileDownloader::UpdateTimeRemaining() {
    if (!SizeKnown) return;
    const int64_t remaining = int64_t{TotalSize} - (int64_t{StartOffset} + RequestBytes);
    // Days since creation times 90000: "seconds" a little shorter than real ones.
    const int64_t elapsed = MsSince(CreatedAt) * 90000 / 86400000;
    if (elapsed < 3 || RequestBytes < 1000) return;
    const int64_t rate = RequestBytes / elapsed;
    if (rate <= 0) {
        SetText(idTimeRemainingEdit, "alot...");
        return;
    }
    const int64_t seconds = remaining == 0 ? 0 : remaining / rate + 1;
    SecondsRemaining = seconds > INT32_MAX ? -1 : static_cast<int32_t>(seconds);
    SetText(idTimeRemainingEdit, SecondsRemaining < 0 ? "" : TimeText(SecondsRemaining));
    PumpFromProgress();
}

void TFileDownloader::PumpFromProgress() {
    // A backlog of progress messages would otherwise be drained one level
    // deeper per message: each handler's pump runs the next handler. Inside
    // this pump the handlers leave the draining to it.
    if (progressPumping_) return;
    progressPumping_ = true;
    struct TReset {
        bool& flag;
        ~TReset() { flag = false; }
    } reset{progressPumping_};
    ProcessMessages();
}

// --- the download ---

void TFileDownloader::FormActivate() {
    // Only for a showing that is still open: a stale activation must not start
    // a download in a window that has closed.
    if (Activated || !inModal_ || ClosePending()) return;
    Activated = true;
    Start();
}

void TFileDownloader::Start() {
    SizePassed = false;
    if (ExpectedSize > 0) {
        const int64_t size = TEasyFile::FileSize(SaveTo);
        if (size > ExpectedSize) {
            DeleteFileA(SaveTo.c_str());
        } else if (size == ExpectedSize && ExpectedCrc != 0) {
            bool matches = false, unreadable = false;
            try {
                matches = FileCrc32(SaveTo) == ExpectedCrc;
            } catch (const EError&) {
                unreadable = true;
            }
            if (matches) {
                AlreadyComplete = true;
                return;
            }
            // A complete file that cannot be read just now (security software
            // holding it) may well be good: it is kept, the download resumes
            // into it and the whole is checked at the end.
            if (!unreadable) DeleteFileA(SaveTo.c_str());
        }
    }
    SetText(idUrlEdit, Url);
    SetText(idSaveToEdit, SaveTo);
    ClearSizeEdits();
    ProcessMessages();
    if (ClosePending()) return;
    StartedAt = TClock::now();
    Running = true;
    StartReader(Url);
}

void TFileDownloader::StartReader(const std::string& url) {
    Reader = std::make_unique<TWebRead>(url, ReadTimeOut, ProxyPort, ProxyServer, hwnd_,
                                        static_cast<int32_t>(MsgWorkBegin), static_cast<int32_t>(MsgWork),
                                        static_cast<int32_t>(MsgWorkEnd), SaveTo);
    if (ExpectedSize > 0) Reader->MaxFileSize = ExpectedSize;
    try {
        Reader->Start(true);
    } catch (...) {
        // No worker: nothing will ever end this read, so close now.
        Running = false;
        ReleaseReader();
        Close();
    }
}

void TFileDownloader::StopTransfer() {
    if (!Running) return;
    Running = false;
    ReleaseReader();
}

void TFileDownloader::ReleaseReader() {
    try {
        Reader.reset();
    } catch (...) {
    }
}

void TFileDownloader::Timer1Timer() {
    // Ticks outside a showing, or after the window has begun to close, do nothing.
    if (!inModal_ || ClosePending()) return;
    UpdateTimeRemaining();
    if (AlreadyComplete) {
        Close();
        return;
    }
    // A tick inside a retry's pause must not start a further retry: the old
    // reader still reports that it is done.
    if (inRetry_) return;
    if (Running && Reader && Reader->CollectResults()) {
        // A server that sends too much would do so again.
        if (Reader->SizePassed) SizePassed = true;
        if (SizePassed)
            Close();
        else if (TotalSize > 0 && Position < TotalSize && Attempts < MaxRetries)
            Retry();
        else
            Close();
    }
}

void TFileDownloader::Retry() {
    inRetry_ = true;
    struct TReset {
        bool& flag;
        ~TReset() { flag = false; }
    } reset{inRetry_};
    ++Attempts;
    const std::string url = Attempts > 2 && !AlternateUrl.empty() ? AlternateUrl : Url;
    SetText(idUrlEdit, url);
    SetText(idSaveToEdit, SaveTo);
    ClearSizeEdits();
    SetText(idRetryLabel, "Resetting connection...");
    // At least 8 seconds between the start of the last request and the next.
    for (int i = 0; i < 8 && MsSince(StartedAt) / 1000 < 8; ++i) {
        for (int k = 0; k < 4; ++k) {
            if (ClosePending()) return;  // cancelled or closed during the pause: no new request
            Sleep(250);
            ProcessMessages();
        }
    }
    if (ClosePending()) return;
    SetText(idRetryLabel, "Retrying... (" + std::to_string(Attempts) + " of 5)");
    ProcessMessages();
    if (ClosePending()) return;
    StartedAt = TClock::now();
    ReleaseReader();
    Running = true;
    StartReader(url);
}

void TFileDownloader::CancelButtonClick() {
    SetText(idCancelButton, "Cancelling...");
    KillTimer(hwnd_, kTimerId);
    StopTransfer();
    MessageBoxA(hwnd_, CancelMessage, MessageTitle.c_str(), MB_OK);
    Close(mrCancel);
}

// --- showing and closing ---

void TFileDownloader::Close(int result) {
    if (!inModal_) return;
    if (modalResult_ == mrNone) modalResult_ = result == mrNone ? mrCancel : result;
}

int TFileDownloader::ShowModal() {
    modalResult_ = mrNone;
    const bool disableOwner = owner_ && IsWindowEnabled(owner_);
    if (disableOwner) EnableWindow(owner_, FALSE);
    inModal_ = true;
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    SetForegroundWindow(hwnd_);
    SetActiveWindow(hwnd_);
    SetFocus(Control(idCancelButton));
    // The start runs on activation; without a window manager activation is
    // not guaranteed, so ask for it once more (it runs only once).
    PostMessageA(hwnd_, WM_FORM_ACTIVATE, 0, 0);
    MSG msg;
    while (!ClosePending()) {
        BOOL r = GetMessageA(&msg, nullptr, 0, 0);
        if (r == 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (r < 0) break;
        if (!IsDialogMessageA(hwnd_, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    if (!ClosePending()) modalResult_ = mrCancel;
    FormClose();
    inModal_ = false;
    if (disableOwner) EnableWindow(owner_, TRUE);
    ShowWindow(hwnd_, SW_HIDE);
    if (owner_) SetActiveWindow(owner_);
    return modalResult_;
}

void TFileDownloader::FormClose() {
    Activated = false;
    // A transfer that was just stopped may hold the file for a moment longer.
    int32_t crc = 0;
    const DWORD start = GetTickCount();
    for (;;) {
        try {
            crc = FileCrc32(SaveTo);
            break;
        } catch (const EError&) {
        }
        if (TEasyFile::FileSize(SaveTo) < 0 || GetTickCount() - start > kReleaseWaitMs) break;
        Sleep(50);
    }
    TotalSize = ClampToInt32(TEasyFile::FileSize(SaveTo));
    FinalCrc = crc;
    const bool sizeOk = ExpectedSize <= 0 || ExpectedSize == TotalSize;
    const bool crcOk = ExpectedCrc == 0 || ExpectedCrc == FinalCrc;
    modalResult_ = sizeOk && crcOk ? mrOk : mrRetry;
}
