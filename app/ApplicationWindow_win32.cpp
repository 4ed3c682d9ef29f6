#include "app/ApplicationWindow_win32.h"

#include <string>

#include "fileutil/Errors.h"

namespace {

// Posted to itself: passing the activation on from inside WM_ACTIVATE would
// start a second activation in the middle of the first.
constexpr UINT kPassActivation = WM_APP + 1;

}  // namespace

TApplicationWindow::TApplicationWindow(HINSTANCE instance, const char* title) : instance_(instance) {
    WNDCLASSEXA existing = {};
    if (!GetClassInfoExA(instance, kApplicationWindowClass, &existing)) {
        WNDCLASSEXA wc = {};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &TApplicationWindow::WndProc;
        wc.hInstance = instance;
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        // The icon of the task-bar button.
        wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));
        if (wc.hIcon == nullptr) wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
        wc.lpszClassName = kApplicationWindowClass;
        if (RegisterClassExA(&wc) == 0)
            throw EOSError("Cannot register the application window class: " + SysErrorMessage(GetLastError()),
                           GetLastError());
    }
    // A pop-up without a thick frame may have no size at all. The caption and
    // system menu give the task-bar button its menu (restore, minimise,
    // close).
    const int left = GetSystemMetrics(SM_CXSCREEN) / 2, top = GetSystemMetrics(SM_CYSCREEN) / 2;
    handle_ = CreateWindowExA(0, kApplicationWindowClass, title,
                              WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPSIBLINGS, left, top, 0,
                              0, nullptr, nullptr, instance, this);
    if (handle_ == nullptr)
        throw EOSError("Cannot create the application window: " + SysErrorMessage(GetLastError()), GetLastError());
    icons_.Set(handle_, instance_, 1, WindowDpi(handle_));
}

TApplicationWindow::~TApplicationWindow() {
    if (handle_ != nullptr) DestroyWindow(handle_);
}

void TApplicationWindow::Show() {
    if (handle_ != nullptr) ShowWindow(handle_, SW_SHOWNA);
}

void TApplicationWindow::Hide() {
    if (handle_ != nullptr) ShowWindow(handle_, SW_HIDE);
}

void TApplicationWindow::Minimize() {
    if (handle_ != nullptr) ShowWindow(handle_, SW_MINIMIZE);
}

LRESULT CALLBACK TApplicationWindow::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* self = static_cast<TApplicationWindow*>(reinterpret_cast<CREATESTRUCTA*>(lp)->lpCreateParams);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->handle_ = hwnd;
    }
    auto* self = reinterpret_cast<TApplicationWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcA(hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        self->handle_ = nullptr;
        return DefWindowProcA(hwnd, msg, wp, lp);
    }
    return self->HandleMessage(msg, wp, lp);
}

LRESULT TApplicationWindow::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_ACTIVATE:
        // Not while minimised: a click on the button of a minimised utility
        // restores it first, and the restore passes the activation on.
        if (LOWORD(wp) != WA_INACTIVE && !HIWORD(wp)) PostMessageA(handle_, kPassActivation, 0, 0);
        break;
    case kPassActivation:
        if (GetActiveWindow() == handle_ && !IsIconic(handle_)) ActivateMain();
        return 0;
    case WM_SIZE:
        if (main_ == nullptr || !IsWindow(main_)) break;
        if (wp == SIZE_MINIMIZED) {
            // Windows hides the windows owned by a minimised window, but not
            // theirs: a box of the main window would stay on the desktop.
            ShowOwnedPopups(main_, FALSE);
            ShowOwnedPopups(handle_, FALSE);
        } else if (wp == SIZE_RESTORED) {
            ShowOwnedPopups(handle_, TRUE);
            ShowOwnedPopups(main_, TRUE);
            PostMessageA(handle_, kPassActivation, 0, 0);
        }
        break;
    case WM_DPICHANGED:
        // Only the icons: the window has no size to keep.
        icons_.Set(handle_, instance_, 1, HIWORD(wp));
        return 0;
    case WM_CLOSE:
        // Closing from the task bar is closing the utility, with the main
        // window's own close handling; left to itself, destroying this window
        // would destroy the main window without it.
        if (main_ != nullptr && IsWindow(main_)) PostMessageA(main_, WM_CLOSE, 0, 0);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(handle_, msg, wp, lp);
}

void TApplicationWindow::ActivateMain() {
    if (main_ == nullptr || !IsWindow(main_) || !IsWindowVisible(main_)) return;
    // A disabled main window waits on a box or dialog of its own: that one
    // gets the activation, as it would have had it before.
    HWND target = IsWindowEnabled(main_) ? main_ : GetLastActivePopup(main_);
    if (target == nullptr || !IsWindowVisible(target)) target = main_;
    SetActiveWindow(target);
}
