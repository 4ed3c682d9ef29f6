#pragma once
// The one part of the utility that holds administrator rights: the same exe,
// started by the main window with "runas" and "--elevated-step <pipe>". It
// makes the writes the run needs in a program folder that only
// administrators can change, and nothing else: no network, no windows, no
// COM, no file dialog, no path from anyone but the folder it checks itself.
//
// Every request is hostile until shown otherwise (anyone running as the user
// can start this and talk to it). The folder must pass the same verdict as in
// the main process, read here again over handles held from the volume root
// down, and hold SPEngine.exe; every file is opened relative to that held
// folder without following links; Stirpello.ini must already exist; the
// module it installs, and the one it starts, must have the compiled-in size
// and SHA-256, and it never installs over a newer module. The folder is
// walked as given, and its replies carry fixed reasons: nothing the step
// can see with its rights reaches the caller.
#include <cstddef>
#include <functional>
#include <string>

#include "elevate/StepChannel_win32.h"
#include "elevate/StepProtocol.h"

// What the step checks a module against: the compiled-in pin of the program.
struct TStepPin {
    size_t Size = 0;
    std::string Sha256;  // 64 lowercase hex digits
};

// Test seam: called just before the step starts the module, with its path.
using TStepLaunchHook = std::function<void(const std::wstring& module)>;

// The step's handling of one accepted request, for ServeStepChannel. State
// (the held folder) lives in the object.
class TElevatedStep {
public:
    explicit TElevatedStep(TStepPin pin);
    ~TElevatedStep();
    TElevatedStep(const TElevatedStep&) = delete;
    TElevatedStep& operator=(const TElevatedStep&) = delete;

    TStepReply Execute(const TRequest& request);
    TStepLaunchHook BeforeLaunch;

private:
    struct TState;
    TStepPin pin_;
    TState* state_;
};

// The step's whole life: refuses to run where the loader cannot be told to
// search only the system folder (SetDefaultDllDirectories is missing), then
// serves the channel named pipeName, made by server, until its last act, a
// quit, a broken pipe or a long idle spell. Returns the process exit code.
int RunElevatedStep(const std::wstring& pipeName, const TStepPin& pin, const TStepServer& server = TStepServer());

// Whether the program's command line asks for the step; sets *pipeName.
bool IsElevatedStepCommandLine(const wchar_t* commandLine, std::wstring* pipeName);
