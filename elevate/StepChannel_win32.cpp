#include "elevate/StepChannel_win32.h"

#include <bcrypt.h>
#include <sddl.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <vector>

#include "fileutil/SystemDll_win32.h"

namespace {

// Pipe buffers: a request other than the module fits at once; the module's
// bytes flow through as the step reads them.
constexpr DWORD PipeBuffer = 64 * 1024;
constexpr DWORD PartMs = 10000;  // for the rest of a message already begun

struct TLocalFree {
    void operator()(void* p) const { LocalFree(p); }
};

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += c < 0x80 ? static_cast<char>(c) : '?';
    return s;
}

std::wstring RandomPipeName() {
    unsigned char random[16];
    // bcrypt.dll is no KnownDLL: loaded from the system folder, not imported.
    static const auto genRandom =
        SystemDllFunction<decltype(&BCryptGenRandom)>("bcrypt.dll", "BCryptGenRandom");
    NTSTATUS st = genRandom ? genRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG) : -1;
    if (st != 0) throw EStepChannelError("No random name could be made for the elevated step's channel", ERROR_GEN_FAILURE);
    std::wstring name = StepPipePrefix;
    const wchar_t* hex = L"0123456789abcdef";
    for (unsigned char b : random) {
        name += hex[b >> 4];
        name += hex[b & 15];
    }
    return name;
}

// Only the user (from the process token) and Administrators may open the pipe.
std::unique_ptr<void, TLocalFree> PipeSecurity() {
    TKernelHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out()))
        throw EStepChannelError("The process token cannot be read: " + SysErrorMessage(GetLastError()), GetLastError());
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size ? size : 1);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        throw EStepChannelError("The process token cannot be read: " + SysErrorMessage(GetLastError()), GetLastError());
    wchar_t* sid = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid))
        throw EStepChannelError("The user's SID cannot be read: " + SysErrorMessage(GetLastError()), GetLastError());
    std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")(A;;FA;;;BA)";
    LocalFree(sid);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        throw EStepChannelError("The channel's access list cannot be made: " + SysErrorMessage(GetLastError()),
                                GetLastError());
    return std::unique_ptr<void, TLocalFree>(sd);
}

std::wstring OwnPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) throw EStepChannelError("The program's own path is unknown: " + SysErrorMessage(GetLastError()), GetLastError());
        if (n < path.size()) return path.substr(0, n);
        if (path.size() >= 32768) throw EStepChannelError("The program's own path is too long", ERROR_FILENAME_EXCED_RANGE);
        path.resize(path.size() * 2);
    }
}

DWORD Remaining(ULONGLONG deadline) {
    ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// An overlapped read or write on h, waiting at most ms and also ending when
// the process (may be null) ends. Returns 0, or the error: ERROR_MORE_DATA
// (a message read in part), WAIT_TIMEOUT, ERROR_PROCESS_ABORTED (the
// process ended first), or the system's error.
DWORD Transfer(HANDLE h, bool write, void* data, DWORD size, DWORD ms, HANDLE process, DWORD* done) {
    *done = 0;
    TKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) return GetLastError();
    OVERLAPPED ov = {};
    ov.hEvent = event.get();
    BOOL ok = write ? WriteFile(h, data, size, nullptr, &ov) : ReadFile(h, data, size, nullptr, &ov);
    DWORD err = ok ? 0 : GetLastError();
    if (err == ERROR_IO_PENDING) {
        HANDLE waits[2] = {event.get(), process};
        DWORD w = WaitForMultipleObjects(process ? 2 : 1, waits, FALSE, ms);
        if (w != WAIT_OBJECT_0 && process && w == WAIT_OBJECT_0 + 1) {
            // What the step wrote before it ended may still be on its way.
            w = WaitForSingleObject(event.get(), 200);
            if (w != WAIT_OBJECT_0) w = WAIT_OBJECT_0 + 1;
        }
        if (w != WAIT_OBJECT_0) {
            CancelIo(h);
            GetOverlappedResult(h, &ov, done, TRUE);
            *done = 0;
            return w == WAIT_TIMEOUT ? WAIT_TIMEOUT : ERROR_PROCESS_ABORTED;
        }
        err = 0;
    }
    if (err != 0 && err != ERROR_MORE_DATA) return err;
    if (!GetOverlappedResult(h, &ov, done, TRUE)) return GetLastError();
    return err;
}

// Reads and drops the rest of a message, in fixed parts.
DWORD Drain(HANDLE pipe) {
    std::vector<char> scratch(PipeBuffer);
    for (;;) {
        DWORD got = 0;
        DWORD err = Transfer(pipe, false, scratch.data(), PipeBuffer, PartMs, nullptr, &got);
        if (err != ERROR_MORE_DATA) return err;
    }
}

std::string ProcessEnded(HANDLE process, const char* what) {
    // A closed pipe may come just before the process has ended.
    WaitForSingleObject(process, 1000);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return std::string("The elevated step ended ") + what + " (exit code " + std::to_string(code) + ")";
}

// A process's user SID as text, "" when its token cannot be read.
std::string TokenUserText(HANDLE process) {
    TKernelHandle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.out())) return std::string();
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<uint64_t> buffer(size / 8 + 1);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), static_cast<DWORD>(buffer.size() * 8), &size))
        return std::string();
    char* text = nullptr;
    if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return std::string();
    std::string sid = text;
    LocalFree(text);
    return sid;
}

std::wstring ImageOf(HANDLE process) {
    std::vector<wchar_t> path(32768);
    DWORD n = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameW(process, 0, path.data(), &n)) return std::wstring();
    std::wstring image(path.data(), n);
    CharUpperBuffW(&image[0], static_cast<DWORD>(image.size()));
    return image;
}

// The process that started this one, by the system's record of it.
DWORD ParentProcessId() {
    using TQuery = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<TQuery>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    struct {
        LONG_PTR ExitStatus;
        PVOID PebBaseAddress;
        ULONG_PTR AffinityMask;
        LONG_PTR BasePriority;
        ULONG_PTR UniqueProcessId;
        ULONG_PTR InheritedFromUniqueProcessId;
    } info = {};
    ULONG got = 0;
    if (!query || query(GetCurrentProcess(), 0 /* ProcessBasicInformation */, &info, sizeof info, &got) != 0) return 0;
    return static_cast<DWORD>(info.InheritedFromUniqueProcessId);
}

ULONGLONG CreatedAt(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

#ifdef STIRPELLO_TEST_OVERRIDES
// Test builds only: another program that may serve the step (a test that
// drives the product's exe as its step).
std::wstring TestServerImage() {
    wchar_t value[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableW(L"STIRPELLO_TEST_STEP_SERVER_IMAGE", value, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    std::wstring image(value, n);
    CharUpperBuffW(&image[0], n);
    return image;
}
#else
std::wstring TestServerImage() { return std::wstring(); }
#endif

}  // namespace

std::wstring NewStepPipeName() { return RandomPipeName(); }

std::string ChannelServerRefusal(HANDLE pipe, const TStepServer& expected) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server)) return "the channel's maker cannot be told";
    if (expected.Starter) {
        const DWORD parent = ParentProcessId();
        if (parent == 0 || server != parent) return "the channel was not made by the process that started the step";
    } else if (expected.WindowPid != 0 && server != expected.WindowPid) {
        return "the channel was not made by the window the step started";
    }
    TKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, server));
    if (!process) return "the channel's maker cannot be examined";
    // A process id is reused once its process has ended: the starter was
    // there before the step, the window it started came after it.
    const ULONGLONG made = CreatedAt(process.get()), own = CreatedAt(GetCurrentProcess());
    if (made == 0 || own == 0) return "the channel's maker cannot be examined";
    if (expected.Starter && made > own) return "the channel's maker started after the step";
    if (!expected.Starter && made < own) return "the channel's maker started before the step";
    DWORD session = 0, ownSession = 0;
    if (!ProcessIdToSessionId(server, &session) || !ProcessIdToSessionId(GetCurrentProcessId(), &ownSession) ||
        session != ownSession)
        return "the channel's maker is in another session";
    const std::string user = TokenUserText(process.get());
    if (user.empty() || user != TokenUserText(GetCurrentProcess())) return "the channel's maker is another user";
    const std::wstring image = ImageOf(process.get());
    if (image.empty() || (image != ImageOf(GetCurrentProcess()) && image != TestServerImage()))
        return "the channel's maker is another program";
    return std::string();
}

TStepChannel::TStepChannel(HWND owner, TStarter starter) : owner_(owner), starter_(std::move(starter)) {
    if (!starter_)
        starter_ = [this](const std::wstring& exe, const std::wstring& parameters, DWORD* error) {
            return StartElevated(owner_, exe, parameters, error);
        };
}

TStepChannel::~TStepChannel() { Close(); }

HANDLE TStepChannel::StartElevated(HWND owner, const std::wstring& exe, const std::wstring& parameters, DWORD* error) {
    SHELLEXECUTEINFOW sei = {};
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    sei.hwnd = owner;
    sei.lpVerb = L"runas";
    sei.lpFile = exe.c_str();
    sei.lpParameters = parameters.c_str();
    sei.nShow = SW_HIDE;
    if (!ShellExecuteLate(&sei)) {
        *error = GetLastError();
        return nullptr;
    }
    if (!sei.hProcess) *error = ERROR_INVALID_HANDLE;
    return sei.hProcess;
}

void TStepChannel::Fail(const std::string& message, DWORD code) {
    pipe_.reset();
    throw EStepChannelError(message, code);
}

void TStepChannel::Open(DWORD connectMs, const std::wstring& name) {
    Close();
    sequence_ = 0;
    ended_ = false;
    name_ = name.empty() ? RandomPipeName() : name;
    {
        auto sd = PipeSecurity();
        SECURITY_ATTRIBUTES sa = {sizeof sa, sd.get(), FALSE};
        pipe_.reset(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                     PipeBuffer, PipeBuffer, 0, &sa));
    }
    if (!pipe_) Fail("The elevated step's channel cannot be made: " + SysErrorMessage(GetLastError()), GetLastError());

    DWORD error = 0;
    HANDLE process = starter_(OwnPath(), std::wstring(StepArgument) + L" " + name_, &error);
    if (!process) {
        if (error == 0) error = ERROR_INVALID_HANDLE;
        if (error == ERROR_CANCELLED) Fail("The request for administrator rights was declined", error);
        Fail("The elevated step could not be started: " + SysErrorMessage(error), error);
    }
    process_.reset(process);

    const ULONGLONG deadline = GetTickCount64() + connectMs;
    TKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) Fail("The elevated step's channel cannot be used: " + SysErrorMessage(GetLastError()), GetLastError());
    for (;;) {
        OVERLAPPED ov = {};
        ov.hEvent = event.get();
        ResetEvent(event.get());
        DWORD err = ConnectNamedPipe(pipe_.get(), &ov) ? 0 : GetLastError();
        if (err == ERROR_IO_PENDING) {
            HANDLE waits[2] = {event.get(), process_.get()};
            DWORD w = WaitForMultipleObjects(2, waits, FALSE, Remaining(deadline));
            if (w != WAIT_OBJECT_0) {
                CancelIo(pipe_.get());
                DWORD ignored = 0;
                GetOverlappedResult(pipe_.get(), &ov, &ignored, TRUE);
                if (w == WAIT_OBJECT_0 + 1) Fail(ProcessEnded(process_.get(), "before it connected"), ERROR_PROCESS_ABORTED);
                Fail("The elevated step did not connect within " + std::to_string(connectMs / 1000) + " s", WAIT_TIMEOUT);
            }
            DWORD ignored = 0;
            err = GetOverlappedResult(pipe_.get(), &ov, &ignored, FALSE) ? 0 : GetLastError();
        }
        if (err == ERROR_PIPE_CONNECTED) err = 0;
        if (err != 0) Fail("The elevated step could not connect: " + SysErrorMessage(err), err);
        ULONG client = 0;
        if (GetNamedPipeClientProcessId(pipe_.get(), &client) && client == GetProcessId(process_.get())) return;
        // Not the process we started: drop it and wait on for ours.
        DisconnectNamedPipe(pipe_.get());
        if (Remaining(deadline) == 0)
            Fail("The elevated step did not connect within " + std::to_string(connectMs / 1000) + " s", WAIT_TIMEOUT);
    }
}

TStepReply TStepChannel::Send(TRequest request, DWORD timeoutMs) {
    if (!pipe_) throw EStepChannelError("The elevated step is not running", ERROR_INVALID_HANDLE);
    // A request that cannot be written is not sent and uses no sequence.
    request.sequence = sequence_ + 1;
    std::string bytes = WriteRequest(request);
    // The record holds the module now; the request's own copy can go.
    std::string().swap(request.module);
    ++sequence_;
    if (request.kind == TStepKind::Quit || request.kind == TStepKind::LaunchModule) ended_ = true;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    DWORD done = 0;
    DWORD err = Transfer(pipe_.get(), true, &bytes[0], static_cast<DWORD>(bytes.size()), timeoutMs, process_.get(), &done);
    if (err == ERROR_PROCESS_ABORTED) Fail(ProcessEnded(process_.get(), "before it took the request"), err);
    if (err == WAIT_TIMEOUT) Fail("The elevated step did not take the request in time", err);
    if (err != 0) Fail("The request could not be sent to the elevated step: " + SysErrorMessage(err), err);

    char reply[StepReplySize];
    err = Transfer(pipe_.get(), false, reply, sizeof reply, Remaining(deadline), process_.get(), &done);
    if (err == ERROR_MORE_DATA) Fail("The elevated step's reply is too long", ERROR_INVALID_DATA);
    if (err == ERROR_PROCESS_ABORTED || err == ERROR_BROKEN_PIPE)
        Fail(ProcessEnded(process_.get(), "without a reply"), ERROR_PROCESS_ABORTED);
    if (err == WAIT_TIMEOUT) Fail("The elevated step did not answer in time", err);
    if (err != 0) Fail("The elevated step's reply could not be read: " + SysErrorMessage(err), err);
    TStepReply out;
    std::string why = ReadReply(reinterpret_cast<const uint8_t*>(reply), done, &out);
    if (!why.empty()) Fail("The elevated step's reply is malformed: " + why, ERROR_INVALID_DATA);
    if (out.kind != static_cast<uint16_t>(request.kind) || out.sequence != request.sequence)
        Fail("The elevated step's reply does not answer the request", ERROR_INVALID_DATA);
    return out;
}

void TStepChannel::Close() {
    if (pipe_ && !ended_ && process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        try {
            TRequest quit;
            quit.kind = TStepKind::Quit;
            Send(quit, 2000);
        } catch (const EError&) {
        }
    }
    pipe_.reset();
    if (process_) WaitForSingleObject(process_.get(), 2000);
    process_.reset();
}

// The step's side.

HANDLE ConnectToChannel(const std::wstring& name, std::string* why, const TStepServer& expected) {
    const std::wstring prefix = StepPipePrefix;
    bool form = name.size() == prefix.size() + 32 && name.compare(0, prefix.size(), prefix) == 0;
    for (size_t i = prefix.size(); form && i < name.size(); ++i) form = iswxdigit(name[i]) && name[i] < 0x80;
    if (!form) {
        *why = "not a channel name: " + Narrow(name.substr(0, 80));
        return INVALID_HANDLE_VALUE;
    }
    // Identification only: the main process may learn who the step is, never
    // act as it.
    const DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
    // A window started through the desktop shell makes its pipe a moment
    // after the step started it.
    const ULONGLONG deadline = GetTickCount64() + (expected.Starter ? 10000 : 60000);
    for (;;) {
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            // Whoever made a pipe of this name is not trusted for it: once
            // the starter gave up, anyone could have.
            std::string refused = ChannelServerRefusal(h, expected);
            if (!refused.empty()) {
                CloseHandle(h);
                *why = refused;
                return INVALID_HANDLE_VALUE;
            }
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (SetNamedPipeHandleState(h, &mode, nullptr, nullptr)) return h;
            DWORD err = GetLastError();
            CloseHandle(h);
            *why = "the channel cannot be read by message: " + SysErrorMessage(err);
            return INVALID_HANDLE_VALUE;
        }
        DWORD err = GetLastError();
        const bool notYet = err == ERROR_FILE_NOT_FOUND && !expected.Starter;
        if ((err != ERROR_PIPE_BUSY && !notYet) || Remaining(deadline) == 0) {
            *why = "the channel cannot be opened: " + SysErrorMessage(err);
            return INVALID_HANDLE_VALUE;
        }
        if (notYet) Sleep(100);
        else WaitNamedPipeW(name.c_str(), Remaining(deadline));
    }
}

TStepRead ReadStepRequest(HANDLE pipe, size_t moduleSize, DWORD waitMs, TRequest* request, TRequestHeader* header,
                          std::string* why) {
    *header = TRequestHeader();
    uint8_t head[StepHeaderSize];
    DWORD got = 0;
    DWORD err = Transfer(pipe, false, head, sizeof head, waitMs, nullptr, &got);
    if (err == WAIT_TIMEOUT) {
        *why = "no request came";
        return TStepRead::Broken;
    }
    if (err != 0 && err != ERROR_MORE_DATA) {
        *why = err == ERROR_BROKEN_PIPE ? "the channel was closed" : "the channel broke: " + SysErrorMessage(err);
        return TStepRead::Broken;
    }
    const bool more = err == ERROR_MORE_DATA;
    auto refuse = [&](const std::string& reason) {
        DWORD d = more ? Drain(pipe) : 0;
        if (d != 0) {
            *why = "the channel broke: " + SysErrorMessage(d);
            return TStepRead::Broken;
        }
        *why = reason;
        return TStepRead::Refused;
    };
    if (got < StepHeaderSize) return refuse("record shorter than its header");
    std::string reason = ReadRequestHeader(head, moduleSize, header);
    if (!reason.empty()) return refuse(reason);

    // The payload the kind allows, and one byte to see whether more follows.
    std::vector<uint8_t> record(StepHeaderSize + header->payloadSize + 1);
    std::copy(head, head + StepHeaderSize, record.begin());
    size_t have = StepHeaderSize;
    bool tooLong = false;
    for (bool rest = more; rest;) {
        DWORD part = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(record.size() - have, PipeBuffer));
        err = Transfer(pipe, false, record.data() + have, want, PartMs, nullptr, &part);
        if (err != 0 && err != ERROR_MORE_DATA) {
            *why = "the channel broke: " + SysErrorMessage(err);
            return TStepRead::Broken;
        }
        have += part;
        rest = err == ERROR_MORE_DATA;
        if (rest && have == record.size()) {
            tooLong = true;
            DWORD d = Drain(pipe);
            if (d != 0) {
                *why = "the channel broke: " + SysErrorMessage(d);
                return TStepRead::Broken;
            }
            rest = false;
        }
    }
    if (tooLong || have == record.size()) {
        *why = "trailing bytes after the payload";
        return TStepRead::Refused;
    }
    reason = ReadRequest(record.data(), have, moduleSize, request);
    if (!reason.empty()) {
        *why = reason;
        return TStepRead::Refused;
    }
    return TStepRead::Ok;
}

bool WriteStepReply(HANDLE pipe, const TStepReply& reply, std::string* why) {
    std::string bytes = WriteReply(reply);
    DWORD done = 0;
    DWORD err = Transfer(pipe, true, &bytes[0], static_cast<DWORD>(bytes.size()), PartMs, nullptr, &done);
    if (err == 0 && done == bytes.size()) return true;
    *why = err == WAIT_TIMEOUT ? "the reply was not taken" : "the reply could not be written: " + SysErrorMessage(err);
    return false;
}

int ServeStepChannel(const std::wstring& name, size_t moduleSize, const TStepExecutor& execute, DWORD idleMs,
                     std::string* why, const TStepServer& expected) {
    TFileHandle pipe(ConnectToChannel(name, why, expected));
    if (!pipe) return 1;
    TStepSession session;
    for (;;) {
        TRequest request;
        TRequestHeader header;
        std::string reason;
        TStepRead read = ReadStepRequest(pipe.get(), moduleSize, idleMs, &request, &header, &reason);
        if (read == TStepRead::Broken) {
            *why = reason;
            return 1;
        }
        TStepReply reply;
        reply.kind = header.kind;
        reply.sequence = header.sequence;
        if (read == TStepRead::Ok) reason = session.Accept(request);
        if (!reason.empty()) {
            reply.result = TStepResult::Refused;
            reply.reason = reason;
        } else if (request.kind == TStepKind::Quit) {
            reply.result = TStepResult::Done;
        } else {
            try {
                TStepReply done = execute(request, session);
                reply.result = done.result;
                reply.reason = done.reason;
            } catch (const std::exception& e) {
                reply.result = TStepResult::Failed;
                reply.reason = e.what();
            }
            if (request.kind == TStepKind::OpenFolder && reply.result != TStepResult::Done) session.End();
        }
        if (!WriteStepReply(pipe.get(), reply, why)) return 1;
        if (session.Ended()) return 0;
    }
}
