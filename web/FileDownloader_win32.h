#pragma once
// TFileDownloader: the modal "Downloading File...." window. It downloads one
// file through a web reader in background start, resumes a partial file,
// retries a transfer that ended short (up to five times, the last three from
// AlternateUrl when set), lets the user cancel (the button, or closing the
// window) while keeping the partial file, and on closing measures the file on
// disk against ExpectedSize and ExpectedCrc. It reports no error text of its
// own: the caller judges the modal result, TotalSize and FinalCrc.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "fileutil/DpiLayout_win32.h"

class TWebRead;

// Modal results, as the windowing runtime numbers them.
enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrRetry = 4 };

class TFileDownloader {
public:
    using TClock = std::chrono::steady_clock;

    // Progress messages the web reader posts to the window.
    static constexpr UINT MsgWorkBegin = WM_USER + 40;  // 1064
    static constexpr UINT MsgWork = WM_USER + 41;       // 1065
    static constexpr UINT MsgWorkEnd = WM_USER + 42;    // 1066
    static constexpr int32_t ReadTimeOut = 60000;
    static constexpr int32_t MaxRetries = 5;
    static constexpr const char* Caption = "Downloading File....";
    static constexpr const char* CancelMessage =
        "If you decide to try again later, your download will pick up from where it left off...";

    // Control ids, for tests and the GUI driver (labels have none).
    enum TControlId : int {
        idCancelButton = 100, idUrlEdit, idSaveToEdit, idFileSizeEdit, idAlreadyDownloadedEdit,
        idRemainingEdit, idRetryLabel, idTimeRemainingEdit, idProgressBar
    };

    // Creates the window hidden, with its timer running. owner, when given, is
    // disabled while the window is shown. Throws EOSError when the window
    // cannot be created.
    explicit TFileDownloader(HWND owner = nullptr);
    // Stops a request that still runs and destroys the window. Never throws.
    ~TFileDownloader();
    TFileDownloader(const TFileDownloader&) = delete;
    TFileDownloader& operator=(const TFileDownloader&) = delete;

    // Set by the caller before ShowModal.
    std::string Url;
    std::string AlternateUrl;  // from the third retry on, when not empty
    std::string SaveTo;
    std::string ProxyServer = "unknown";
    int32_t ProxyPort = 0;
    int32_t ExpectedSize = -1;  // 0 or less: no check
    int32_t ExpectedCrc = 0;    // 0: no check
    // Title of the Cancel message box: the application's title.
    std::string MessageTitle = "Stirpello Update Manager";

    // The window's state. TotalSize and FinalCrc describe the file on disk
    // once the window has closed.
    int32_t TotalSize = 0;
    int32_t FinalCrc = 0;
    int32_t StartOffset = 0;
    int32_t Position = -1;
    int32_t RequestBytes = 0;
    int32_t SecondsRemaining = -1;
    bool SizeKnown = false;
    bool Running = false;
    bool AlreadyComplete = false;
    // The server sent more than ExpectedSize: the transfer was stopped there
    // and not retried.
    bool SizePassed = false;
    bool Activated = false;
    int32_t Attempts = 0;
    TClock::time_point CreatedAt;
    TClock::time_point StartedAt;
    std::unique_ptr<TWebRead> Reader;

    // Shows the window modally and returns mrOk when the file on disk passes
    // the closing checks, else mrRetry. Never throws.
    int ShowModal();
    int ModalResult() const { return modalResult_; }
    HWND Handle() const { return hwnd_; }
    // The DPI the window is laid out for.
    UINT Dpi() const { return layout_.Dpi(); }
    HWND Control(TControlId id) const { return GetDlgItem(hwnd_, id); }
    std::string ControlText(TControlId id) const;
    int ProgressPosition() const { return progress_; }

    // Event handlers, public so that tests can drive them directly.
    void WorkBegin(WPARAM wParam, LPARAM lParam);
    void Work(LPARAM lParam);
    void FormActivate();
    void Timer1Timer();
    void CancelButtonClick();
    // Asks the modal loop to end; the closing checks then set the result.
    void Close(int result = mrCancel);

    // "999 Bytes", "99KB", "1.29MB": the window's byte-count text.
    static std::string SizeText(int32_t bytes);
    // "1:02:05": hours without a leading zero, minutes and seconds of two digits.
    static std::string TimeText(int32_t seconds);

    // The window procedure of the window class.
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

private:
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    // The window's size for the layout's DPI, centred on the screen.
    void Centre();
    void DpiChanged(UINT dpi, const RECT& suggested);
    void Start();
    void Retry();
    void StartReader(const std::string& url);
    void ReleaseReader();
    void StopTransfer();
    void UpdateTimeRemaining();
    void PumpFromProgress();
    void ClearSizeEdits();
    void SetText(TControlId id, const std::string& text);
    void SetProgress(int percent);
    void FormClose();
    bool ClosePending() const { return modalResult_ != mrNone; }

    // Owns the fonts; the window is gone before they are deleted.
    TDpiLayout layout_;
    HWND hwnd_ = nullptr;
    HWND owner_ = nullptr;
    int font_ = -1;  // in layout_
    int italicFont_ = -1;
    int progress_ = 0;
    int modalResult_ = mrNone;
    bool inModal_ = false;
    bool inRetry_ = false;
    bool progressPumping_ = false;
};
