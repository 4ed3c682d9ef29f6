#pragma once
// The pipe between the main process (the user's rights) and the elevated
// step: one request, one reply, in the records of StepProtocol.h.
//
// The main process creates the pipe under a random name (first instance,
// remote clients refused, an access list for the user and Administrators),
// starts the step (this exe, "runas", "--elevated-step <name>") and accepts
// only the process it started as the client. That check is robustness, not
// security: the step must be harmless to any caller. The step in turn serves
// only the process that started it, so a pipe made under the name after the
// main process gave up serves nobody.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "elevate/StepProtocol.h"
#include "fileutil/Errors.h"
#include "fileutil/Handles_win32.h"

// The step's only argument before the pipe name.
constexpr wchar_t StepArgument[] = L"--elevated-step";
// The pipe's name: this prefix and 32 hex digits.
constexpr wchar_t StepPipePrefix[] = L"\\\\.\\pipe\\Stirpello-";

// The channel failed; Message() is the log's line, Code the system's error
// (ERROR_CANCELLED when the user declined the prompt).
class EStepChannelError : public EOSError {
public:
    using EOSError::EOSError;
};

class TStepChannel {
public:
    // Starts the step: returns its process handle (the channel owns it) or
    // nullptr with *error set. The real one is ShellExecuteExW "runas".
    using TStarter = std::function<HANDLE(const std::wstring& exe, const std::wstring& parameters, DWORD* error)>;

    // owner: the window the prompt belongs to. starter: empty for the real one.
    explicit TStepChannel(HWND owner, TStarter starter = {});
    ~TStepChannel();  // Close()
    TStepChannel(const TStepChannel&) = delete;
    TStepChannel& operator=(const TStepChannel&) = delete;

    // Creates the pipe, starts the step and waits for it to connect: at most
    // connectMs, less when the started process ends first. A client that is
    // not the started process is dropped and the wait goes on. Throws
    // EStepChannelError ("The request for administrator rights was declined"
    // for a declined prompt).
    // name: the pipe's name, when the step was started first and was given
    // it (then the starter returns the running step's process); else a new
    // random one.
    void Open(DWORD connectMs = 60000, const std::wstring& name = std::wstring());
    bool IsOpen() const { return static_cast<bool>(pipe_); }

    // Sends one request (its sequence is set here: 1, 2, ...) and returns the
    // step's reply. Waits at most timeoutMs, less when the step ends. Throws
    // EStepChannelError when the channel is not open, broken, times out, or
    // the reply is malformed or does not echo the request; the channel is then
    // closed.
    TStepReply Send(TRequest request, DWORD timeoutMs = 120000);

    // Sends Quit when the step is still there, waits briefly for it to end and
    // closes the pipe. Never throws; safe to call twice.
    void Close();

    const std::wstring& PipeName() const { return name_; }
    HANDLE StepProcess() const { return process_.get(); }

    // The real starter: ShellExecuteExW "runas" with owner as the prompt's owner.
    static HANDLE StartElevated(HWND owner, const std::wstring& exe, const std::wstring& parameters, DWORD* error);

private:
    void Fail(const std::string& message, DWORD code);

    HWND owner_;
    TStarter starter_;
    std::wstring name_;
    TFileHandle pipe_;
    TKernelHandle process_;
    uint32_t sequence_ = 0;
    bool ended_ = false;  // Quit or LaunchModule was sent
};

// A new random channel name (StepPipePrefix and 32 hex digits). Throws
// EStepChannelError when no random bytes can be had.
std::wstring NewStepPipeName();

// Whose pipe the step serves. Starter: the process that started it (the
// usual start, from the main window). Otherwise the window the step
// started itself without administrator rights (the utility was started
// elevated): a process started after it, WindowPid when known.
struct TStepServer {
    bool Starter = true;
    DWORD WindowPid = 0;
};

// The step's side. "" when the pipe's server is the one expected, in the
// same session, as the same user, running the same program (in test builds
// also the program STIRPELLO_TEST_STEP_SERVER_IMAGE names). Otherwise why not.
std::string ChannelServerRefusal(HANDLE pipe, const TStepServer& expected = TStepServer());

// Whether name is a channel name (the prefix and exactly 32
// hex digits). Opens it for reading and writing in message mode, at
// identification level only (the main process cannot act as the step), and
// closes it again unless its server is the starter (ChannelServerRefusal).
// Gives up after 10 s of a busy pipe, at once when there is none (a window
// the step started gets 60 s to make it).
// Returns the pipe (the caller closes it) or INVALID_HANDLE_VALUE with *why.
HANDLE ConnectToChannel(const std::wstring& name, std::string* why, const TStepServer& expected = TStepServer());

// Reads one request from the step's pipe, at most waitMs. Reads the header
// first and then no more than its kind's fixed payload: a record that claims
// or holds more is drained and refused without being buffered. Returns Ok
// with *request, Refused with *why (*header holds what the header said, for
// the reply), or Broken with *why (pipe closed, nothing within waitMs).
enum class TStepRead { Ok, Refused, Broken };
TStepRead ReadStepRequest(HANDLE pipe, size_t moduleSize, DWORD waitMs, TRequest* request,
                          TRequestHeader* header, std::string* why);
// Writes one reply. false with *why when the pipe is broken.
bool WriteStepReply(HANDLE pipe, const TStepReply& reply, std::string* why);

// The step's loop: connects, then reads requests until Quit, LaunchModule, a
// broken pipe or idleMs without a request. Each request is checked by a
// TStepSession; only accepted ones reach execute, which returns the reply's
// result and reason (the kind and sequence are filled in here); an exception
// from it becomes Failed with its text. An OpenFolder that execute does not
// answer with Done ends the session, and so the step.
// Returns 0 after a clean end, 1 when the channel could not be used (*why).
using TStepExecutor = std::function<TStepReply(const TRequest& request, const TStepSession& session)>;
int ServeStepChannel(const std::wstring& name, size_t moduleSize, const TStepExecutor& execute, DWORD idleMs,
                     std::string* why, const TStepServer& expected = TStepServer());
