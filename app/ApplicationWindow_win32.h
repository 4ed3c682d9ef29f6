#pragma once
// The window that stands for the utility in the task bar and in Alt+Tab, so
// that they show the application title while the main window keeps its own
// caption. The main window is owned by it, which keeps the main window's own
// button out of the task bar.
//
// It is shown but has no size: the task bar lists only visible windows, so a
// hidden owner would leave the utility without a button at all. Activating it
// (from the task bar or Alt+Tab) passes the activation on to the main window,
// or to the box that the main window is waiting on; minimising it hides them,
// restoring it shows them again; closing it closes the main window.
#include <windows.h>

#include "fileutil/DpiLayout_win32.h"

inline constexpr const char* kApplicationWindowClass = "TApplicationWindow";

class TApplicationWindow {
public:
    // Makes the window, hidden, with the program's icon (resource 1) where
    // the program has one. Throws EOSError when it cannot be made.
    TApplicationWindow(HINSTANCE instance, const char* title);
    ~TApplicationWindow();
    TApplicationWindow(const TApplicationWindow&) = delete;
    TApplicationWindow& operator=(const TApplicationWindow&) = delete;

    HWND Handle() const { return handle_; }
    // The window that activation and closing are passed on to.
    void SetMainWindow(HWND main) { main_ = main; }
    // Shows it without activating it: its task-bar button appears.
    void Show();
    // Hides it: the button goes (the main window has closed).
    void Hide();
    // Minimises the utility to its task-bar button.
    void Minimize();

private:
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
    void ActivateMain();

    HINSTANCE instance_;
    // The task-bar button's icons, made for the window's DPI.
    TWindowIcons icons_;
    HWND handle_ = nullptr;
    HWND main_ = nullptr;
};
