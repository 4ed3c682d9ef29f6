#pragma once
// The utility's one main window: introduction, progress box with the four
// step marks, the directory box and the button that starts the failsafe run.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "app/ApplicationWindow_win32.h"
#include "app/RunLog.h"
#include "app/RunView.h"
#include "app/StirpelloEngine.h"
#include "fileutil/DpiLayout_win32.h"
#include "fileutil/FileFinder.h"

// Names the program in message boxes and in the task bar.
inline constexpr const char* kApplicationTitle = "Stirpello Update Manager";
inline constexpr const char* kMainWindowClass = "TDownloadStirpelloForm";
inline constexpr const char* kMainWindowCaption = "Stirpello \"Failsafe\" Update Utility";
inline constexpr const char* kLogFileName = "StirpelloUpdateLog.txt";
inline constexpr const char* kActivationClipboardText = "Close the download utility first! Then do the PASTE...";
inline constexpr const char* kEmptyLogClipboardText = "Debug Log Is Empty";

class TDownloadStirpelloForm final : public IRunView {
public:
    using TRunHandler = std::function<void(TDownloadStirpelloForm&)>;

    // FormCreate: makes the window and its components, hidden. Throws EOSError
    // when the window or one of its components cannot be created; no window
    // is then left behind.
    explicit TDownloadStirpelloForm(HINSTANCE instance);
    // FormDestroy: destroys the window if it is still open (without the close
    // handling: that runs only when the window is closed).
    ~TDownloadStirpelloForm() override;
    TDownloadStirpelloForm(const TDownloadStirpelloForm&) = delete;
    TDownloadStirpelloForm& operator=(const TDownloadStirpelloForm&) = delete;

    // Shows and activates the window; the first activation runs FormActivate.
    void Show();
    // Closing this window then ends the message loop (posts WM_QUIT).
    void MakeMainWindow();
    HWND Handle() const { return handle_; }
    // The DPI the window is laid out for.
    UINT Dpi() const { return layout_.Dpi(); }
    // True until the window has been destroyed (closed).
    bool IsOpen() const { return handle_ != nullptr; }

    // What Button1 runs. Until one is set a press does nothing. A press while
    // the handler is already running is ignored.
    void SetRunHandler(TRunHandler handler) { runHandler_ = std::move(handler); }

    // IRunView
    TRunLog& Log() override { return runLog_; }
    void SetProgress(const std::string& caption) override;
    void SetMark(int step, TStepMark mark) override;
    void ShowDirectory(const std::string& directory) override;
    void ShowMessage(const std::string& text) override;
    TConfirmAnswer Confirm(const std::string& text) override;
    void ProcessMessages() override;
    void SetBusyCursor(bool busy) override;
    void SetLogDirectory(const std::string& directory) override { logDirectory_ = directory; }
    // Closes at once: FormClose runs before this returns.
    void Close() override;
    // Once closed, ShowMessage and Confirm show nothing (Confirm answers
    // crCancel): a box without its window would be left over the desktop.
    bool IsClosed() const override { return !IsOpen(); }

    const std::string& LogDirectory() const { return logDirectory_; }
    // The busy flag is process-wide, so other windows of the utility can
    // answer WM_SETCURSOR from it too.
    static bool Busy();
    // The log file for a log directory: the directory followed by the file
    // name, with a backslash between them when the directory lacks one.
    static std::string LogFilePath(const std::string& directory);

    // Components, under their designer names (read-only outside the form).
    HWND Memo1 = nullptr;
    HWND Button1 = nullptr;
    HWND Label2 = nullptr;
    HWND Edit1 = nullptr;
    HWND GroupBox1 = nullptr;
    HWND Label1 = nullptr;
    HWND Label3 = nullptr;
    HWND Label4 = nullptr;
    HWND Label5 = nullptr;
    HWND S1Mark = nullptr;
    HWND s2Mark = nullptr;
    HWND s3Mark = nullptr;
    HWND s4Mark = nullptr;
    HWND LMDNImage1 = nullptr;
    HWND Label6 = nullptr;

    // Installation locator (app/LocatorForm_win32.cpp): writes to this
    // window's run log, shows its boxes and the file dialog, and refills
    // ShortcutEngines. LocateInstallation throws EError for a registry value
    // that is not a string; ResolveShortcut throws EOSError.
    std::string LocateInstallation();
    std::string ResolveShortcut(const std::string& linkPath);
    void ShortcutFound(const std::string& folder, const TSearchRec& entry);
    // The platform queries of the file dialog's set-up: major version 4 with
    // a minor version below 10 (95, NT 4.0) / of 10 or more (98, Me).
    static bool IsMajor4MinorBelow10();
    static bool IsMajor4Minor10OrMore();
    // One identification per resolved desktop shortcut, owned by the window.
    TStirpelloEngineList ShortcutEngines;
    // Update module download (app/ModuleDownloadForm_win32.cpp): the download
    // window against TSiteConfig's two addresses, with this window's run log
    // and message boxes; as DownloadUpdateModule in app/ModuleDownload_win32.h.
    bool DownloadUpdateModule(const std::string& programDirectory, std::string& modulePath,
                              const std::string& proxyServer, int32_t proxyPort);

private:
    struct TGlyph {
        int font = -1;  // in layout_
        wchar_t ch = 0;
    };

    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
    void CreateComponents();
    // Positions and sizes at 96 dpi; layout_ maps them to the window's DPI.
    HWND MakeControl(const char* name, const char* cls, const char* text, DWORD style, DWORD exStyle,
                     int left, int top, int width, int height, HWND parent, int font, int id = 0);
    void ChooseMarkGlyphs();
    // The picture, drawn at the layout's DPI, shown in LMDNImage1.
    void ShowPicture();
    static HBITMAP DrawPicture(const TDpiLayout& layout, int designWidth, int designHeight);
    void FitIntroduction();
    void DpiChanged(UINT dpi, const RECT& suggested);

    void Button1Click();
    void FormActivate();
    void FormClose();
    void DestroyComponents();
    void ReleaseResources();

    HINSTANCE instance_;
    // Owns the main window and its task-bar button.
    TApplicationWindow application_;
    HWND handle_ = nullptr;
    TRunLog runLog_;
    std::string logDirectory_;
    bool activated_ = false;
    bool running_ = false;
    // Set when the run itself closes the window, so that only a close by the
    // user during a run is logged as such.
    bool closingByRun_ = false;
    // The step whose mark is the arrow: where a run is.
    int arrowStep_ = 0;
    bool mainWindow_ = false;
    HWND lastFocus_ = nullptr;
    TRunHandler runHandler_;

    // Owns the fonts; the window is gone before they are deleted.
    TDpiLayout layout_;
    TWindowIcons icons_;
    // Font numbers in layout_.
    int formFont_ = -1;     // Arial 11
    int memoFont_ = -1;     // Arial 16
    int labelFont_ = -1;    // Arial 13
    int buttonFont_ = -1;   // bold Arial 16
    int warningFont_ = -1;  // bold Arial 13, drawn red
    int markSymbolFont_ = -1;
    int markUnicodeFont_ = -1;
    HBRUSH windowBrush_ = nullptr;
    HBITMAP picture_ = nullptr;
    TGlyph arrow_, check_, cross_;
};
