// The channel with real pipes and processes under Wine. The step is this test
// program started again with "--elevated-step <name>"; STEP_TEST_MODE (in the
// environment it inherits) says how it behaves.
#include "elevate/StepChannel_win32.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

// The largest single allocation by C++ code in this process, to show that the
// step's reader never sizes a buffer by what a record claims. (Wine's own
// bookkeeping of a pipe's data does not go through here.)
std::atomic<size_t> largestAllocation{0};

void* operator new(size_t n) {
    size_t seen = largestAllocation.load();
    while (n > seen && !largestAllocation.compare_exchange_weak(seen, n)) {
    }
    if (void* p = HeapAlloc(GetProcessHeap(), 0, n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    if (p) HeapFree(GetProcessHeap(), 0, p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

constexpr size_t ModuleSize = 64;

std::wstring OwnExe() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The step as the tests want it: it tells in each reply what it was asked.
TStepReply Echo(const TRequest& r, const TStepSession&) {
    TStepReply reply;
    reply.result = TStepResult::Done;
    switch (r.kind) {
    case TStepKind::OpenFolder:
        if (r.folder == L"C:\\Unheld") throw std::runtime_error("the folder cannot be held");
        reply.reason = "folder " + Narrow(r.folder);
        break;
    case TStepKind::InstallModule: reply.reason = "module of " + std::to_string(r.module.size()) + " starting " + r.module.substr(0, 4); break;
    case TStepKind::WriteWantsUpdate: reply.reason = r.wantsUpdate ? "wants TRUE" : "wants FALSE"; break;
    default: reply.reason = "kind " + std::to_string(static_cast<int>(r.kind)); break;
    }
    return reply;
}

int StepMain(const std::wstring& name) {
    char mode[32] = {};
    GetEnvironmentVariableA("STEP_TEST_MODE", mode, sizeof mode);
    std::string why;
    if (std::strcmp(mode, "exit") == 0) return 3;
    if (std::strcmp(mode, "late") == 0) {
        // Waits until the test has seen its stranger dropped.
        char event[64] = {};
        GetEnvironmentVariableA("STEP_TEST_EVENT", event, sizeof event);
        HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, event);
        if (!e || WaitForSingleObject(e, 20000) != WAIT_OBJECT_0) return 4;
        CloseHandle(e);
    }
    if (std::strcmp(mode, "die") == 0 || std::strcmp(mode, "hold") == 0) {
        // Takes one request and never answers: ends, or stays silent.
        TFileHandle pipe(ConnectToChannel(name, &why));
        TRequest r;
        TRequestHeader h;
        if (!pipe || ReadStepRequest(pipe.get(), ModuleSize, 10000, &r, &h, &why) != TStepRead::Ok) return 5;
        if (mode[0] == 'h') Sleep(20000);
        return 7;
    }
    if (std::strcmp(mode, "longreply") == 0) {
        TFileHandle pipe(ConnectToChannel(name, &why));
        TRequest r;
        TRequestHeader h;
        if (!pipe || ReadStepRequest(pipe.get(), ModuleSize, 10000, &r, &h, &why) != TStepRead::Ok) return 5;
        std::string reply = WriteReply({h.kind, h.sequence, TStepResult::Done, ""}) + "tail";
        DWORD done = 0;
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!WriteFile(pipe.get(), reply.data(), static_cast<DWORD>(reply.size()), nullptr, &ov) &&
            GetLastError() != ERROR_IO_PENDING)
            return 6;
        GetOverlappedResult(pipe.get(), &ov, &done, TRUE);
        CloseHandle(ov.hEvent);
        Sleep(2000);
        return 0;
    }
    return ServeStepChannel(name, ModuleSize, Echo, 30000, &why);
}

// A seam that starts this program as the step, in mode, with CreateProcessW.
TStepChannel::TStarter StartChild(const char* mode) {
    return [mode](const std::wstring& exe, const std::wstring& parameters, DWORD* error) -> HANDLE {
        EXPECT_EQ(exe, OwnExe());
        SetEnvironmentVariableA("STEP_TEST_MODE", mode);
        std::wstring line = L"\"" + exe + L"\" " + parameters;
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            *error = GetLastError();
            return nullptr;
        }
        CloseHandle(pi.hThread);
        return pi.hProcess;
    };
}

TRequest Request(TStepKind kind) {
    TRequest r;
    r.kind = kind;
    if (kind == TStepKind::OpenFolder) r.folder = L"C:\\Program Files (x86)\\Stirpello";
    if (kind == TStepKind::InstallModule) r.module = "MZ\x90" + std::string(ModuleSize - 3, 'm');
    if (kind == TStepKind::WriteWantsUpdate) r.wantsUpdate = true;
    return r;
}

DWORD ExitCodeAfter(HANDLE process, DWORD ms) {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
    return code;
}

TEST(StepChannel, AWholeUpdateInOrder) {
    TStepChannel ch(nullptr, StartChild("serve"));
    ch.Open(30000);
    ASSERT_TRUE(ch.IsOpen());
    EXPECT_EQ(ch.PipeName().size(), std::wstring(StepPipePrefix).size() + 32);
    struct {
        TStepKind kind;
        TStepResult result;
        const char* reason;
    } expected[] = {
        {TStepKind::OpenFolder, TStepResult::Done, "folder C:\\Program Files (x86)\\Stirpello"},
        {TStepKind::RemovePostponingKeys, TStepResult::Done, "kind 2"},
        {TStepKind::InstallModule, TStepResult::Done, "module of 64 starting MZ\x90m"},
        {TStepKind::WriteNotify, TStepResult::Refused, "out of order"},  // after the module: too late
        {TStepKind::WriteWantsUpdate, TStepResult::Done, "wants TRUE"},
        {TStepKind::LaunchModule, TStepResult::Done, "kind 6"},
    };
    for (const auto& e : expected) {
        TStepReply r = ch.Send(Request(e.kind));
        EXPECT_EQ(r.kind, static_cast<uint16_t>(e.kind));
        EXPECT_EQ(r.result, e.result) << r.reason;
        // The reply's text is printable ASCII only: the 0x90 byte is '?'.
        std::string want = e.reason;
        for (char& c : want) if (static_cast<unsigned char>(c) >= 0x7F) c = '?';
        EXPECT_EQ(r.reason, want);
    }
    // Launching ends the step by itself; nothing more is taken.
    EXPECT_EQ(ExitCodeAfter(ch.StepProcess(), 10000), 0u);
    EXPECT_THROW(ch.Send(Request(TStepKind::Quit), 5000), EStepChannelError);
}

TEST(StepChannel, HostileRequestsNeverReachTheExecutorAndAFolderNotHeldEndsTheStep) {
    TStepChannel ch(nullptr, StartChild("serve"));
    ch.Open(30000);
    EXPECT_EQ(ch.Send(Request(TStepKind::WriteWantsUpdate)).reason, "no folder is open");
    TRequest r = Request(TStepKind::OpenFolder);
    for (const wchar_t* path : {L"\\\\server\\share", L"C:\\Program Files\\..\\Windows", L"C:\\x\\NUL"}) {
        r.folder = path;
        TStepReply reply = ch.Send(r);
        EXPECT_EQ(reply.result, TStepResult::Refused);
        EXPECT_EQ(reply.reason, FolderPathRefusal(path));  // the session's word, not the executor's
    }
    r.folder = L"C:\\Unheld";
    TStepReply failed = ch.Send(r);
    EXPECT_EQ(failed.result, TStepResult::Failed);
    EXPECT_EQ(failed.reason, "the folder cannot be held");
    EXPECT_EQ(ExitCodeAfter(ch.StepProcess(), 10000), 0u);
    EXPECT_THROW(ch.Send(Request(TStepKind::OpenFolder), 5000), EStepChannelError);
}

TEST(StepChannel, TheRealStarterRunsThisProgramAsTheStep) {
    // Under Wine "runas" shows no prompt and raises no rights, but the path,
    // the argument and the process handle are the real ones.
    SetEnvironmentVariableA("STEP_TEST_MODE", "serve");
    TStepChannel ch(nullptr);
    ch.Open(30000);
    EXPECT_EQ(ch.Send(Request(TStepKind::OpenFolder)).result, TStepResult::Done);
    HANDLE process = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), ch.StepProcess(), GetCurrentProcess(), &process, SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0));
    ch.Close();  // Quit
    EXPECT_EQ(ExitCodeAfter(process, 10000), 0u);
    CloseHandle(process);
}

std::string AccessList(HANDLE h) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr, &sd) != 0)
        return "unreadable";
    char* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
    std::string out = text ? text : "";
    LocalFree(text);
    LocalFree(sd);
    return out;
}

std::string UserSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    char buffer[256];
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
    CloseHandle(token);
    char* sid = nullptr;
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid);
    std::string out = sid ? sid : "";
    LocalFree(sid);
    return out;
}

TEST(StepChannel, AClientThatIsNotTheStartedProcessIsDropped) {
    const std::string eventName = "steptest-" + std::to_string(GetCurrentProcessId());
    TKernelHandle strangerDropped(CreateEventA(nullptr, TRUE, FALSE, eventName.c_str()));
    SetEnvironmentVariableA("STEP_TEST_EVENT", eventName.c_str());
    DWORD strangerError = 0;
    std::string dacl;
    std::thread stranger;
    auto start = StartChild("late");
    TStepChannel ch(nullptr, [&](const std::wstring& exe, const std::wstring& parameters, DWORD* error) {
        // This process connects first, as someone who read the name would.
        std::wstring name = parameters.substr(parameters.find(L' ') + 1);
        stranger = std::thread([&, name] {
            // By hand: the step's own connect would refuse this pipe's maker.
            std::string why;
            TFileHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED, nullptr));
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (!pipe || !SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
                strangerError = 1;
            } else {
                dacl = AccessList(pipe.get());
                TRequest r;
                TRequestHeader h;
                ReadStepRequest(pipe.get(), ModuleSize, 20000, &r, &h, &why);
                strangerError = 2;
            }
            SetEvent(strangerDropped.get());
        });
        return start(exe, parameters, error);
    });
    ch.Open(30000);
    stranger.join();
    EXPECT_EQ(strangerError, 2u);  // it got in, and was put out
    // Only the user (Wine's every user: S-1-5-21-0-0-0-1000) and Administrators.
    EXPECT_EQ(dacl, "D:P(A;;FA;;;" + UserSid() + ")(A;;FA;;;BA)");
    EXPECT_EQ(ch.Send(Request(TStepKind::OpenFolder)).result, TStepResult::Done);
}

TEST(StepChannel, AStepThatEndsWithoutConnectingEndsTheWait) {
    TStepChannel ch(nullptr, StartChild("exit"));
    ULONGLONG t0 = GetTickCount64();
    try {
        ch.Open(60000);
        FAIL() << "opened";
    } catch (const EStepChannelError& e) {
        EXPECT_EQ(e.Message(), "The elevated step ended before it connected (exit code 3)");
    }
    EXPECT_LT(GetTickCount64() - t0, 10000u);
    EXPECT_FALSE(ch.IsOpen());
}

TEST(StepChannel, ADeclinedPromptAndAFailedStart) {
    auto refuse = [](DWORD code) {
        return [code](const std::wstring&, const std::wstring&, DWORD* error) -> HANDLE {
            *error = code;
            return nullptr;
        };
    };
    TStepChannel declined(nullptr, refuse(ERROR_CANCELLED));
    try {
        declined.Open(1000);
        FAIL();
    } catch (const EStepChannelError& e) {
        EXPECT_EQ(e.Code, static_cast<unsigned long>(ERROR_CANCELLED));
        EXPECT_EQ(e.Message(), "The request for administrator rights was declined");
    }
    TStepChannel missing(nullptr, refuse(ERROR_FILE_NOT_FOUND));
    try {
        missing.Open(1000);
        FAIL();
    } catch (const EStepChannelError& e) {
        EXPECT_EQ(e.Code, static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(e.Message(), "The elevated step could not be started: " + SysErrorMessage(ERROR_FILE_NOT_FOUND));
    }
}

TEST(StepChannel, AReplyLongerThanItsRecordBreaksTheChannel) {
    TStepChannel ch(nullptr, StartChild("longreply"));
    ch.Open(30000);
    try {
        ch.Send(Request(TStepKind::OpenFolder));
        FAIL();
    } catch (const EStepChannelError& e) {
        EXPECT_EQ(e.Message(), "The elevated step's reply is too long");
    }
    EXPECT_FALSE(ch.IsOpen());
}

TEST(StepChannel, AStepThatDiesOrStaysSilentEndsTheWaitForItsReply) {
    struct {
        const char* mode;
        DWORD timeoutMs;
        const char* message;
    } cases[] = {
        {"die", 60000, "The elevated step ended without a reply (exit code 7)"},
        {"hold", 1000, "The elevated step did not answer in time"},
    };
    for (const auto& c : cases) {
        TStepChannel ch(nullptr, StartChild(c.mode));
        ch.Open(30000);
        ULONGLONG t0 = GetTickCount64();
        try {
            ch.Send(Request(TStepKind::OpenFolder), c.timeoutMs);
            ADD_FAILURE() << c.mode;
        } catch (const EStepChannelError& e) {
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_LT(GetTickCount64() - t0, 10000u) << c.mode;
        EXPECT_FALSE(ch.IsOpen());
        if (c.mode[0] == 'h') TerminateProcess(ch.StepProcess(), 0);
    }
}

// A pipe made by anyone but the process that started the step (here: this
// process, whose starter is the test runner) is closed again unused.
TEST(StepSide, ServesOnlyThePipeOfItsStarter) {
    const std::wstring name = std::wstring(StepPipePrefix) + L"0123456789abcdef0123456789abcdef";
    TFileHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0,
                                        nullptr));
    ASSERT_TRUE(server);
    std::string why;
    TFileHandle client(ConnectToChannel(name, &why));
    EXPECT_FALSE(client);
    EXPECT_EQ(why, "the channel was not made by the process that started the step");
}

TEST(StepSide, RefusesNamesThatAreNotChannels) {
    const std::wstring prefix = StepPipePrefix;
    for (const std::wstring& name : std::vector<std::wstring>{std::wstring(), prefix, prefix + std::wstring(31, L'a'), prefix + std::wstring(33, L'a'),
          prefix + std::wstring(31, L'a') + L'g', L"\\\\server\\pipe\\Stirpello-" + std::wstring(32, L'a'),
          L"C:\\Windows\\notepad.exe", prefix + std::wstring(31, L'a') + L'\x0661'}) {
        std::string why;
        EXPECT_EQ(ConnectToChannel(name, &why), INVALID_HANDLE_VALUE);
        EXPECT_NE(why.find("not a channel name"), std::string::npos) << why;
    }
}

const std::wstring HostileName = std::wstring(StepPipePrefix) + L"0123456789abcdef0123456789abcdef";

// What a hostile main side sends, and what the step must say to each.
struct THostileMessage {
    std::string bytes;
    const char* refusal;  // nullptr: read as a request
};
std::vector<THostileMessage> HostileMessages() {
    auto header = [](uint16_t kind, uint32_t payload) {
        std::string h = WriteRequest(TRequest{TStepKind::Quit, 1, {}, {}, false});
        h[6] = static_cast<char>(kind);
        for (int i = 0; i < 4; ++i) h[12 + i] = static_cast<char>(payload >> (8 * i));
        return h;
    };
    const std::string folder = WriteRequest(Request(TStepKind::OpenFolder));
    return {
        {header(7, 0xFFFFFFF0u), "payload of 4294967280 bytes where 0"},  // claims 4 GB, sends none
        {header(1, 3u << 20) + std::string(3u << 20, 'x'), "payload of 3145728 bytes where 2048"},
        {folder + std::string(3u << 20, 'x'), "trailing bytes"},  // the right claim, 3 MiB more
        {folder.substr(0, 100), "payload cut short"},
        {"short", "shorter than its header"},
        {WriteRequest(Request(TStepKind::Quit)), nullptr},  // and the pipe still works
    };
}

// The hostile main side, in a process of its own so that only the step's
// reading counts in the test's memory.
int HostileMain() {
    TFileHandle server(CreateNamedPipeW(HostileName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    if (!server) return 2;
    if (!ConnectNamedPipe(server.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 3;
    for (const THostileMessage& m : HostileMessages()) {
        DWORD done = 0;
        if (!WriteFile(server.get(), m.bytes.data(), static_cast<DWORD>(m.bytes.size()), &done, nullptr)) return 4;
    }
    FlushFileBuffers(server.get());  // until the step has read it all
    return 0;
}

TEST(StepSide, OversizedAndMalformedRequestsAreRefusedWithoutBufferingThem) {
    std::wstring line = L"\"" + OwnExe() + L"\" --hostile-main";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(OwnExe().c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    TKernelHandle child(pi.hProcess);
    std::string why;
    TFileHandle pipe;
    // The child made the pipe: served as a window the step started would be
    // (the connect waits until the pipe is there).
    pipe.reset(ConnectToChannel(HostileName, &why, TStepServer{false, pi.dwProcessId}));
    ASSERT_TRUE(pipe) << why;
    const std::vector<THostileMessage> messages = HostileMessages();
    largestAllocation = 0;
    for (const THostileMessage& m : messages) {
        TRequest r;
        TRequestHeader h;
        TStepRead read = ReadStepRequest(pipe.get(), ModuleSize, 10000, &r, &h, &why);
        if (m.refusal) {
            EXPECT_EQ(read, TStepRead::Refused) << m.refusal;
            EXPECT_NE(why.find(m.refusal), std::string::npos) << why;
        } else {
            EXPECT_EQ(read, TStepRead::Ok) << why;
            EXPECT_EQ(r.kind, TStepKind::Quit);
        }
    }
    // Fixed buffers only (a 64 KiB part at most): nothing near the 3 MiB
    // messages, let alone the 4 GB claimed.
    EXPECT_LE(largestAllocation.load(), 64u * 1024 + 4096);
    // The main side going away is a broken channel, not a request.
    EXPECT_EQ(ExitCodeAfter(child.get(), 10000), 0u);
    TRequest r;
    TRequestHeader h;
    EXPECT_EQ(ReadStepRequest(pipe.get(), ModuleSize, 10000, &r, &h, &why), TStepRead::Broken);
}

}  // namespace

int main(int argc, char** argv) {
    int wargc = 0;
    LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    if (wargv && wargc == 3 && std::wstring(wargv[1]) == StepArgument) return StepMain(wargv[2]);
    if (wargv && wargc == 2 && std::wstring(wargv[1]) == L"--hostile-main") return HostileMain();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
