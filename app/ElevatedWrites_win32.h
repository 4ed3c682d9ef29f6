#pragma once
// The main window's side of the elevated step: started at the first write
// the run needs in a folder only administrators can change (one consent
// prompt per run, after a box that says why), then kept for the run's later
// writes and its launch. A declined prompt is remembered: the run asks once.
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "app/RunLog.h"
#include "app/RunServices.h"
#include "elevate/StepChannel_win32.h"

class TElevatedWrites {
public:
    // show: a modal information box. starter: empty for Windows' own prompt.
    TElevatedWrites(TRunLog& log, std::function<void(const std::string&)> show, HWND owner,
                    TStepChannel::TStarter starter = {});
    ~TElevatedWrites();

    TStepOutcome Write(TStepWrite what, const std::string& dir, const std::string& source);
    // Whether the step was started in this run (for tests).
    int Starts() const { return starts_; }

private:
    bool Start(const std::string& dir);
    bool Ask(const std::string& dir);         // the box, then Windows' prompt
    bool OpenFolder(const std::string& dir);  // the step's first request

    TRunLog& log_;
    std::function<void(const std::string&)> show_;
    HWND owner_;
    TStepChannel::TStarter starter_;
    std::unique_ptr<TStepChannel> channel_;
    std::string folder_;   // the folder the step holds
    std::string refusal_;  // why nothing more goes through the step in this run
    int starts_ = 0;
};
