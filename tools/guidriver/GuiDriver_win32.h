#pragma once
// Drives the windows of another program (or of this one, from another
// thread): finds top-level windows by title, reads and clicks controls,
// answers message boxes by their text, reads the clipboard and takes
// screenshots. Every wait polls and ends with EDriverError on time-out.
#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

class EDriverError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TControlInfo {
    HWND Handle = nullptr;
    std::string Name;       // the designer name the program gave it, or ""
    std::string ClassName;
    std::string Text;
    int Id = 0;
    // Position in the parent's client area (on the screen for a top-level
    // window) and outer size.
    int Left = 0, Top = 0, Width = 0, Height = 0;
    bool Visible = false;  // the control's own visibility flag
    bool Enabled = false;
};

struct TMessageBox {
    HWND Handle = nullptr;
    std::string Title;
    std::string Text;
};

class TGuiDriver {
public:
    // A visible top-level window whose title is exactly title, or nullptr.
    // A window of no size does not count: nobody can see it.
    static HWND FindTopWindow(const std::string& title);
    static HWND WaitWindow(const std::string& title, DWORD timeoutMs);
    // Waits until no top-level window (visible or not) has this title.
    static void WaitGone(const std::string& title, DWORD timeoutMs);

    // A control of top (any depth) by designer name or "#<id>"; "." is top
    // itself. Throws EDriverError naming the available controls.
    static HWND Control(HWND top, const std::string& selector);
    static std::vector<TControlInfo> Controls(HWND top);
    static TControlInfo Describe(HWND window);
    static std::string Text(HWND window);

    // Posted, so that a click that opens a modal box does not block us.
    static void Click(HWND button);
    static void PostClose(HWND window);

    // The window with the keyboard focus in top's thread, or nullptr.
    static HWND Focus(HWND top);
    // Posts a key's press and release (a virtual-key code) to that window, as
    // the keyboard queues them. Throws EDriverError when nothing has the focus.
    static void PressKey(HWND top, UINT virtualKey);
    // "Return", "Space", "Tab" or "Escape" as a virtual-key code.
    static UINT KeyCode(const std::string& name);
    // The window whose task-bar button stands for window, as the shell
    // chooses it: window itself when it asks for a button of its own
    // (WS_EX_APPWINDOW), else the last of its owners; that one must be shown
    // and no tool window. nullptr when no button stands for it.
    static HWND TaskbarWindow(HWND window);
    // The name a screen reader gets for the window's client area
    // (AccessibleObjectFromWindow, then get_accName of the object itself), in
    // the ANSI code page; "" for none. Initialises COM on this thread for the
    // call where it is not yet. Throws EDriverError when there is no object.
    static std::string AccessibleName(HWND window);

    // Open message boxes (dialog class #32770 with a text static 0xFFFF).
    static std::vector<TMessageBox> MessageBoxes();
    // Waits for a box whose text is exactly text (and whose title is title,
    // when title is not empty).
    static TMessageBox WaitMessageBox(const std::string& text, const std::string& title, DWORD timeoutMs);
    // Presses one of the box's buttons by its command id (IDOK, IDYES, ...)
    // and waits until the box has closed.
    static void Answer(const TMessageBox& box, int buttonId, DWORD timeoutMs = 5000);
    // "OK", "Cancel", "Yes", "No", "Abort", "Retry", "Ignore", "Close" or a number.
    static int ButtonId(const std::string& name);

    // Plain text on the clipboard; "" when there is none. Throws when the
    // clipboard cannot be opened.
    static std::string Clipboard();
    static void SetClipboard(const std::string& text);

    // Saves the screen, or only the window's rectangle, as a PNG file.
    static void Screenshot(const std::string& path, HWND window = nullptr);
    // Waits until the window's picture on the screen stops changing.
    static void WaitSettled(HWND window, DWORD timeoutMs);
};
