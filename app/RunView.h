#pragma once
// What the failsafe run needs from the main window. The window implements it
// for real; tests of the run implement it with scripted answers.
#include <string>

#include "app/RunLog.h"

enum class TStepMark { Hidden, Arrow, Check, Cross };

// Answers of the confirmation box, as the system numbers them.
enum TConfirmAnswer { crYes = 6, crNo = 7, crCancel = 2 };

class IRunView {
public:
    virtual ~IRunView() = default;
    virtual TRunLog& Log() = 0;
    // The progress line (GroupBox1's caption); pending messages are processed
    // afterwards so that it repaints before the step's work begins.
    virtual void SetProgress(const std::string& caption) = 0;
    // Step 1..4 (S1Mark..s4Mark); also processes pending messages.
    virtual void SetMark(int step, TStepMark mark) = 0;
    // Shows Label2 and Edit1 with the program directory.
    virtual void ShowDirectory(const std::string& directory) = 0;
    // Modal information box with one OK button, titled with the application title.
    virtual void ShowMessage(const std::string& text) = 0;
    // Modal "Confirm" box with Yes, No and Cancel.
    virtual TConfirmAnswer Confirm(const std::string& text) = 0;
    virtual void ProcessMessages() = 0;
    // The hourglass around network waits.
    virtual void SetBusyCursor(bool busy) = 0;
    // Sets the window-wide log directory (where the log file goes on close).
    virtual void SetLogDirectory(const std::string& directory) = 0;
    // Closes the main window, which ends the program after the close handling.
    // The run returns right after this call, so the window may go later.
    virtual void Close() = 0;
    // The application's error box for an error that the run does not handle.
    virtual void ShowError(const std::string& text) { ShowMessage(text); }
    // True once the window has closed, by the user or by a run. The run
    // processes messages at many points, so the user may close the window
    // under it; the run then stops where it next regains control.
    virtual bool IsClosed() const { return false; }
};
