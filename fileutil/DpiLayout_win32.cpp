#include "fileutil/DpiLayout_win32.h"

#include <algorithm>

namespace {

// user32 is always loaded; the functions are missing before Windows 10 1607.
template <typename Fn>
Fn User32Function(const char* name) {
    HMODULE user32 = GetModuleHandleA("user32.dll");
    return user32 ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

using TGetDpiForWindow = UINT(WINAPI*)(HWND);
using TGetDpiForSystem = UINT(WINAPI*)();
using TGetSystemMetricsForDpi = int(WINAPI*)(int, UINT);
using TAdjustWindowRectExForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
using TLoadIconWithScaleDown = HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, int, HICON*);

}  // namespace

UINT SystemDpi() {
    static const auto getDpiForSystem = User32Function<TGetDpiForSystem>("GetDpiForSystem");
    if (getDpiForSystem != nullptr) {
        const UINT dpi = getDpiForSystem();
        if (dpi != 0) return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

UINT WindowDpi(HWND window) {
    static const auto getDpiForWindow = User32Function<TGetDpiForWindow>("GetDpiForWindow");
    if (getDpiForWindow != nullptr && window != nullptr) {
        const UINT dpi = getDpiForWindow(window);
        if (dpi != 0) return dpi;
    }
    return SystemDpi();
}

int SystemMetricForDpi(int index, UINT dpi) {
    static const auto forDpi = User32Function<TGetSystemMetricsForDpi>("GetSystemMetricsForDpi");
    if (forDpi != nullptr) return forDpi(index, dpi);
    return MulDiv(GetSystemMetrics(index), static_cast<int>(dpi), static_cast<int>(SystemDpi()));
}

HICON LoadIconForDpi(HINSTANCE instance, int id, bool big, UINT dpi) {
    const int size = SystemMetricForDpi(big ? SM_CXICON : SM_CXSMICON, dpi);
    // comctl32 is loaded by name after the DLL search is narrowed (never
    // imported): only a copy already loaded is asked.
    if (HMODULE comctl = GetModuleHandleA("comctl32.dll")) {
        auto scaleDown = reinterpret_cast<TLoadIconWithScaleDown>(
            reinterpret_cast<void*>(GetProcAddress(comctl, "LoadIconWithScaleDown")));
        HICON icon = nullptr;
        if (scaleDown != nullptr && SUCCEEDED(scaleDown(instance, MAKEINTRESOURCEW(id), size, size, &icon)))
            return icon;
    }
    return static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

TDpiLayout::~TDpiLayout() {
    for (TFont& f : fonts_)
        if (f.Handle != nullptr) DeleteObject(f.Handle);
}

int TDpiLayout::Scale(int length) const { return MulDiv(length, static_cast<int>(dpi_), 96); }

RECT TDpiLayout::WindowRectForClient(int width, int height, DWORD style, DWORD exStyle) const {
    RECT r = {0, 0, Scale(width), Scale(height)};
    static const auto adjustForDpi = User32Function<TAdjustWindowRectExForDpi>("AdjustWindowRectExForDpi");
    if (adjustForDpi != nullptr)
        adjustForDpi(&r, style, FALSE, exStyle, dpi_);
    else
        AdjustWindowRectEx(&r, style, FALSE, exStyle);
    return r;
}

HFONT TDpiLayout::MakeFont(const TFontDesign& design) const {
    // Negative height: the character height in pixels, as the design gives it.
    return CreateFontA(-Scale(design.Height), 0, 0, 0, design.Weight, design.Italic, FALSE, FALSE, design.Charset,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       design.Face.c_str());
}

int TDpiLayout::AddFont(const TFontDesign& design) {
    fonts_.push_back(TFont{design, MakeFont(design)});
    return static_cast<int>(fonts_.size() - 1);
}

HFONT TDpiLayout::Font(int number) const {
    if (number < 0 || static_cast<size_t>(number) >= fonts_.size()) return nullptr;
    return fonts_[static_cast<size_t>(number)].Handle;
}

void TDpiLayout::Apply(const TPlaced& p) const {
    if (p.Font >= 0) SendMessageW(p.Control, WM_SETFONT, reinterpret_cast<WPARAM>(Font(p.Font)), TRUE);
    const RECT& d = p.Design;
    int top = Scale(d.top), width = Scale(d.right - d.left), height = Scale(d.bottom - d.top);
    if (roomPixels_ != 0 && GetParent(p.Control) == roomParent_) {
        if (d.top >= roomY_)
            top += roomPixels_;
        else if (d.bottom >= roomY_)
            height += roomPixels_;
    }
    if (p.GrowToText) {
        const int length = GetWindowTextLengthW(p.Control);
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        text.resize(static_cast<size_t>(GetWindowTextW(p.Control, &text[0], length + 1)));
        HDC dc = GetDC(p.Control);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(p.Control, WM_GETFONT, 0, 0)));
        RECT need = {0, 0, 0, 0};
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &need, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
        SelectObject(dc, old);
        ReleaseDC(p.Control, dc);
        width = std::max(width, static_cast<int>(need.right));
        height = std::max(height, static_cast<int>(need.bottom));
    }
    SetWindowPos(p.Control, nullptr, Scale(d.left), top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void TDpiLayout::Place(HWND control, int left, int top, int width, int height, int font, bool growToText) {
    if (control == nullptr) return;
    TPlaced placed{control, RECT{left, top, left + width, top + height}, font, growToText};
    auto it = std::find_if(placed_.begin(), placed_.end(), [&](const TPlaced& p) { return p.Control == control; });
    if (it != placed_.end())
        *it = placed;
    else
        placed_.push_back(placed);
    Apply(placed);
}

void TDpiLayout::SetControlFont(HWND control, int font) {
    for (TPlaced& p : placed_) {
        if (p.Control != control) continue;
        p.Font = font;
        Apply(p);
        return;
    }
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(Font(font)), TRUE);
}

void TDpiLayout::SetExtraRoom(HWND parent, int y, int pixels) {
    if (parent == roomParent_ && y == roomY_ && pixels == roomPixels_) return;
    roomParent_ = parent;
    roomY_ = y;
    roomPixels_ = pixels;
    for (const TPlaced& p : placed_)
        if (GetParent(p.Control) == parent) Apply(p);
}

void TDpiLayout::Forget(HWND control) {
    placed_.erase(std::remove_if(placed_.begin(), placed_.end(), [&](const TPlaced& p) { return p.Control == control; }),
                  placed_.end());
}

void TDpiLayout::SetDpi(UINT dpi) {
    if (dpi == 0 || dpi == dpi_) return;
    dpi_ = dpi;
    std::vector<HFONT> old;
    for (TFont& f : fonts_) {
        old.push_back(f.Handle);
        f.Handle = MakeFont(f.Design);
    }
    for (const TPlaced& p : placed_) Apply(p);
    for (HFONT f : old)
        if (f != nullptr) DeleteObject(f);
}

TWindowIcons::~TWindowIcons() {
    if (big_ != nullptr) DestroyIcon(big_);
    if (small_ != nullptr) DestroyIcon(small_);
}

void TWindowIcons::Set(HWND window, HINSTANCE instance, int id, UINT dpi) {
    HICON big = LoadIconForDpi(instance, id, true, dpi);
    HICON small = LoadIconForDpi(instance, id, false, dpi);
    if (big == nullptr || small == nullptr) {
        if (big != nullptr) DestroyIcon(big);
        if (small != nullptr) DestroyIcon(small);
        return;
    }
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    if (big_ != nullptr) DestroyIcon(big_);
    if (small_ != nullptr) DestroyIcon(small_);
    big_ = big;
    small_ = small;
}
