#pragma once
// Started "as administrator" (out of habit, or where every start is: UAC off,
// the built-in Administrator): the window and everything the network, the
// user or a shortcut can touch must not run with those rights. The elevated
// process starts the window again without them and stays on as the run's
// elevated step, over the same pipe and the same requests as the step the
// window starts itself, so no second prompt appears.
//
// Where the desktop shell runs without administrator rights (UAC on), the
// window is started through it, with the desktop user's own token, as
// installers do. Where the shell itself is elevated there is no such token:
// the window then gets a restricted copy of this process's token
// (privileges dropped, Administrators for deny entries only, medium
// integrity). The window never starts another window (no loop).
#include <windows.h>

#include <memory>
#include <string>

#include "elevate/ElevatedStep_win32.h"
#include "elevate/StepChannel_win32.h"

// The window's arguments: "--unelevated-window <pipe> <step's pid> <how>",
// how being "shell" or "restricted".
constexpr wchar_t UnelevatedWindowArgument[] = L"--unelevated-window";

struct TWindowStart {
    std::wstring Pipe;
    DWORD StepPid = 0;
    bool ThroughShell = false;
};

// Whether the command line is the window's start by an elevated one; sets
// *start. A malformed one is not.
bool IsUnelevatedWindowCommandLine(const wchar_t* commandLine, TWindowStart* start);

// Whether the desktop shell runs elevated, or there is none: no unelevated
// token can be had from it then. Test builds: STIRPELLO_TEST_SHELL_NOT_ELEVATED=1
// says it is not (Wine's always is).
bool ShellIsElevated();

// The elevated start: starts the window without administrator rights, then
// serves it as its step until it ends. Returns the window's exit code where
// known, else the step's. Shows a box and returns 1 when no window could be
// started. Never throws.
int RunElevatedStart(const TStepPin& pin);

// The window's side, before the window shows: makes the pipe and waits
// briefly for the elevated process to connect. A failure is kept: the run
// logs it when it first needs the step. Never throws.
void AttachElevatedStep(const TWindowStart& start);
// The channel AttachElevatedStep opened, once (null after that, or with
// *why set when the attach failed; *why empty when there was none to take).
std::unique_ptr<TStepChannel> TakeAttachedStep(std::string* why);
// How this window was started, for the log: "" for a usual start.
std::string WindowRightsText();
// Ends an attached step that the run never took (Quit). Never throws.
void ReleaseAttachedStep();
