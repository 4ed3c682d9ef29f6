// The elevated step's executor on real files under Wine. Wine enforces no
// access list and reads every file as the signed-in user's, so the tests
// name that user's SID as Administrators (STIRPELLO_TEST_ADMIN_SID, test
// builds only): a plain folder is then one only administrators can change.
#include "elevate/ElevatedStep_win32.h"

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/ModuleDownload_win32.h"
#include "elevate/ModuleVersion.h"
#include "elevate/StepChannel_win32.h"
#include "tests/support/TestSupport.h"

using namespace testsupport;

namespace {

std::string Genuine() { return ReadFile(ExeDir() + "update_module.exe"); }
// Another program of the same size: right size, wrong digest.
std::string Forged() {
    std::string bytes = ReadFile(ExeDir() + "update_module_stub.exe");
    bytes.resize(Genuine().size(), '\0');
    return bytes;
}

std::string UserSid() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    std::vector<BYTE> buffer(512);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
    CloseHandle(token);
    char* text = nullptr;
    ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text);
    std::string sid = text ? text : "";
    LocalFree(text);
    return sid;
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

TRequest Ask(TStepKind kind) {
    TRequest r;
    r.kind = kind;
    return r;
}

struct Step : ::testing::Test {
    TScratchDir dir{"elevatedstep"};
    const std::string ini = "[Updates]\r\nCheckOnOrAfterDate=2099-01-01\r\n[Internet Connection]\r\nuseProxy=FALSE\r\n";
    TStepPin pin{Genuine().size(), UpdateModuleSha256};

    void SetUp() override {
        ASSERT_GT(Genuine().size(), 1000u);
        SetEnvironmentVariableA("STIRPELLO_TEST_ADMIN_SID", UserSid().c_str());
        WriteFile(dir / "SPEngine.exe", "engine");
        WriteFile(dir / "Stirpello.exe", "old module");
        WriteFile(dir / "Stirpello.ini", ini);
    }
    void TearDown() override { SetEnvironmentVariableA("STIRPELLO_TEST_ADMIN_SID", nullptr); }

    TStepReply Open(TElevatedStep& step, const std::string& folder) {
        TRequest r = Ask(TStepKind::OpenFolder);
        r.folder = Wide(folder);
        return step.Execute(r);
    }
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> found;
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA((dir / "*.tmp").c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) return found;
        do found.push_back(fd.cFileName);
        while (FindNextFileA(h, &fd));
        FindClose(h);
        return found;
    }
};

}  // namespace

// The procedure's writes, each through the held folder, then the start of
// the module it installed.
TEST_F(Step, AWholeUpdateInTheHeldFolder) {
    TElevatedStep step(pin);
    ASSERT_EQ(Open(step, dir.Path()).result, TStepResult::Done) << Open(step, dir.Path()).reason;
    EXPECT_EQ(step.Execute(Ask(TStepKind::RemovePostponingKeys)).result, TStepResult::Done);
    EXPECT_EQ(step.Execute(Ask(TStepKind::WriteNotify)).result, TStepResult::Done);
    TRequest install = Ask(TStepKind::InstallModule);
    install.module = Genuine();
    TStepReply r = step.Execute(install);
    EXPECT_EQ(r.result, TStepResult::Done) << r.reason;
    TRequest wants = Ask(TStepKind::WriteWantsUpdate);
    wants.wantsUpdate = true;
    EXPECT_EQ(step.Execute(wants).result, TStepResult::Done);
    EXPECT_EQ(step.Execute(wants).result, TStepResult::NothingToChange);
    EXPECT_EQ(ReadFile(dir / "Stirpello.ini"),
              "[Updates]\r\n[Internet Connection]\r\nuseProxy=FALSE\r\nnotifyForAnyUpdate=TRUE\r\nwantsUpdate=TRUE\r\n");
    EXPECT_TRUE(ReadFile(dir / "Stirpello.exe") == Genuine());
    r = step.Execute(Ask(TStepKind::LaunchModule));
    EXPECT_EQ(r.result, TStepResult::Done) << r.reason;
    EXPECT_NE(testsupport::LaunchRecord(dir).find("Stirpello.exe"), std::string::npos);
    EXPECT_TRUE(Leftovers().empty());
}

// Every request is hostile until shown otherwise: each of these is refused
// and changes nothing.
TEST_F(Step, HostileRequestsChangeNothing) {
    struct Case {
        const char* name;
        std::function<void(Step&)> setUp;  // before the folder is opened
        bool openFails;
        TStepKind kind;
        std::string module;
    };
    const Case cases[] = {
        {"a folder the user can change", [](Step&) { SetEnvironmentVariableA("STIRPELLO_TEST_ADMIN_SID", nullptr); },
         true, TStepKind::RemovePostponingKeys, ""},
        {"a folder without the engine", [](Step& t) { DeleteFileA((t.dir / "SPEngine.exe").c_str()); }, true,
         TStepKind::RemovePostponingKeys, ""},
        {"a forged module of the right size", [](Step&) {}, false, TStepKind::InstallModule, Forged()},
        {"a module of another size", [](Step&) {}, false, TStepKind::InstallModule, Genuine() + "x"},
        {"a settings file to create", [](Step& t) { DeleteFileA((t.dir / "Stirpello.ini").c_str()); }, false,
         TStepKind::WriteNotify, ""},
        {"a settings file with a second name",
         [](Step& t) { CreateHardLinkA((t.dir / "elsewhere.ini").c_str(), (t.dir / "Stirpello.ini").c_str(), nullptr); },
         false, TStepKind::RemovePostponingKeys, ""},
        {"a module with a second name",
         [](Step& t) { CreateHardLinkA((t.dir / "elsewhere.exe").c_str(), (t.dir / "Stirpello.exe").c_str(), nullptr); },
         true, TStepKind::InstallModule, Genuine()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        DeleteFileA((dir / "elsewhere.ini").c_str());
        DeleteFileA((dir / "elsewhere.exe").c_str());
        c.setUp(*this);
        const std::string iniBefore = ReadFile(dir / "Stirpello.ini");
        TElevatedStep step(pin);
        TStepReply opened = Open(step, dir.Path());
        EXPECT_EQ(opened.result == TStepResult::Done, !c.openFails) << opened.reason;
        TRequest r = Ask(c.kind);
        r.module = c.module;
        TStepReply reply = step.Execute(r);
        EXPECT_NE(reply.result, TStepResult::Done);
        EXPECT_NE(reply.result, TStepResult::NothingToChange);
        EXPECT_FALSE(reply.reason.empty());
        EXPECT_EQ(ReadFile(dir / "Stirpello.exe"), "old module");
        EXPECT_EQ(ReadFile(dir / "Stirpello.ini"), iniBefore);
        EXPECT_TRUE(Leftovers().empty());
    }
}

// The module's file version, moved by delta in its most significant part.
std::string WithVersionMoved(std::string bytes, int delta) {
    const std::string signature("\xBD\x04\xEF\xFE", 4);
    size_t at = bytes.find(signature);
    if (at == std::string::npos) return std::string();
    bytes[at + 10] = static_cast<char>(bytes[at + 10] + delta);  // the major number's low byte
    return bytes;
}

// The step starts only the pinned module, whoever put a module there: not a
// stand-in of another size, not one of the right size with another digest.
TEST_F(Step, OnlyThePinnedModuleIsStarted) {
    struct Case {
        const char* name;
        std::string module;
        bool starts;
    };
    const Case cases[] = {
        {"a stand-in", "old module", false},
        {"a forged module of the right size", Forged(), false},
        {"the genuine module, put there by anyone", Genuine(), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(dir / "Stirpello.exe", c.module);
        TElevatedStep step(pin);
        std::wstring started;
        step.BeforeLaunch = [&](const std::wstring& path) { started = path; };
        ASSERT_EQ(Open(step, dir.Path()).result, TStepResult::Done);
        TStepReply r = step.Execute(Ask(TStepKind::LaunchModule));
        EXPECT_EQ(r.result == TStepResult::Done, c.starts) << r.reason;
        EXPECT_EQ(!started.empty(), c.starts);
        if (c.starts) {
            EXPECT_NE(LaunchRecord(dir).find("Stirpello.exe"), std::string::npos);
        }
        EXPECT_EQ(ReadFile(dir / "Stirpello.exe"), c.module);
    }
}

// The version is read from the bytes, as the system reads it from the file.
TEST(ModuleVersion, TheFixedVersionIsTheSystemsFileVersion) {
    const std::string path = ExeDir() + "update_module.exe";
    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), &ignored));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &size));
    uint64_t version = 0;
    ASSERT_TRUE(FixedFileVersion(Genuine(), &version));
    EXPECT_EQ(version, static_cast<uint64_t>(fixed->dwFileVersionMS) << 32 | fixed->dwFileVersionLS);
    ASSERT_TRUE(FixedFileVersion(WithVersionMoved(Genuine(), 1), &version));
    EXPECT_EQ(version >> 48, (fixed->dwFileVersionMS >> 16) + 1);
    for (const std::string& none : {std::string(), std::string("MZ"), ReadFile(ExeDir() + "update_module_stub.exe").substr(0, 64)})
        EXPECT_FALSE(FixedFileVersion(none, &version));
}

// Installing never rolls a newer module back; the same version or an older
// one, or one without a version, is replaced.
TEST_F(Step, ANewerModuleIsNotReplaced) {
    const struct {
        const char* name;
        std::string old;
        bool replaced;
    } cases[] = {
        {"newer", WithVersionMoved(Genuine(), 1), false},
        {"older", WithVersionMoved(Genuine(), -1), true},
        {"the same", Genuine(), true},
        {"without a version", "old module", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.old.empty());
        WriteFile(dir / "Stirpello.exe", c.old);
        TElevatedStep step(pin);
        ASSERT_EQ(Open(step, dir.Path()).result, TStepResult::Done);
        TRequest install = Ask(TStepKind::InstallModule);
        install.module = Genuine();
        TStepReply r = step.Execute(install);
        EXPECT_EQ(r.result == TStepResult::Done, c.replaced) << r.reason;
        EXPECT_TRUE(ReadFile(dir / "Stirpello.exe") == (c.replaced ? Genuine() : c.old));
        EXPECT_TRUE(Leftovers().empty());
    }
}

// Whatever the folder given, a refusal says the same, and never names a
// path: the step tells nobody where a link leads or what exists.
TEST_F(Step, AnOpenRefusedSaysNothingAboutWhatIsThere) {
    TScratchDir secret("elevatedstep-secret");
    WriteFile(secret / "SPEngine.exe", "engine");
    const std::string link = dir / "link";
    const bool linked = CreateSymbolicLinkA(link.c_str(), secret.Path().c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) != 0;
    CreateDirectoryA((dir / "empty").c_str(), nullptr);
    std::vector<std::string> folders = {dir / "missing", dir / "empty", dir / "Stirpello.ini",
                                        dir / "missing\\deeper"};
    if (linked) folders.push_back(link);
    else ADD_FAILURE() << "no symbolic link could be made here";
    std::string first;
    for (const std::string& folder : folders) {
        TElevatedStep step(pin);
        TStepReply r = Open(step, folder);
        EXPECT_EQ(r.result, TStepResult::Failed) << folder;
        if (first.empty()) first = r.reason;
        EXPECT_EQ(r.reason, first) << folder;
        EXPECT_EQ(r.reason.find('\\'), std::string::npos) << r.reason;
    }
    // Nor is a drive that can be unplugged one only administrators can change.
    SetEnvironmentVariableA("STIRPELLO_TEST_UNPLUGGABLE_DRIVE", dir.Path().substr(0, 1).c_str());
    TElevatedStep step(pin);
    TStepReply r = Open(step, dir.Path());
    SetEnvironmentVariableA("STIRPELLO_TEST_UNPLUGGABLE_DRIVE", nullptr);
    EXPECT_EQ(r.result, TStepResult::Failed);
    EXPECT_EQ(r.reason, first);
    if (linked) RemoveDirectoryA(link.c_str());
}

TEST_F(Step, FoldersThatAreNotAFixedProgramFolderAreNotOpened) {
    for (const std::string& folder : {std::string("\\\\server\\share\\Stirpello"), dir / "missing",
                                      dir / "Stirpello.ini", std::string("Stirpello")}) {
        TElevatedStep step(pin);
        EXPECT_NE(Open(step, folder).result, TStepResult::Done) << folder;
        EXPECT_EQ(step.Execute(Ask(TStepKind::WriteNotify)).result, TStepResult::Refused) << folder;
    }
}

std::wstring OwnExe() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

// A test program that makes the pipe and starts the product's exe as the
// step is what a hostile caller would be: the step serves only its own
// program (here let through by a test-build seam naming this one).
TStepChannel::TStarter StartProgram(DWORD* pid = nullptr) {
    return [pid](const std::wstring&, const std::wstring& parameters, DWORD* error) -> HANDLE {
        const std::wstring exe = Wide(ExeDir() + "DownloadStirpelloUpdate.exe");
        std::wstring command = L"\"" + exe + L"\" " + parameters;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            *error = GetLastError();
            return nullptr;
        }
        if (pid) *pid = pi.dwProcessId;
        CloseHandle(pi.hThread);
        return pi.hProcess;
    };
}

struct ServedStep : Step {
    void SetUp() override {
        Step::SetUp();
        SetEnvironmentVariableW(L"STIRPELLO_TEST_STEP_SERVER_IMAGE", OwnExe().c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"STIRPELLO_TEST_STEP_SERVER_IMAGE", nullptr);
        Step::TearDown();
    }
};

TEST_F(Step, AStepStartedByAnotherProgramServesNothing) {
    TStepChannel channel(nullptr, StartProgram());
    DWORD code = STILL_ACTIVE;
    try {
        channel.Open(20000);
        TRequest open = Ask(TStepKind::OpenFolder);
        open.folder = Wide(dir.Path());
        channel.Send(open);
        ADD_FAILURE() << "the step answered";
    } catch (const EStepChannelError&) {
    }
    if (channel.StepProcess() && WaitForSingleObject(channel.StepProcess(), 10000) == WAIT_OBJECT_0)
        GetExitCodeProcess(channel.StepProcess(), &code);
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(ReadFile(dir / "Stirpello.ini"), ini);
}

// The step as the program runs it: the same exe with its one argument, over
// the real pipe, started here without a prompt.
TEST_F(ServedStep, TheProgramServesTheChannel) {
    TStepChannel channel(nullptr, StartProgram());
    channel.Open(20000);
    TRequest open = Ask(TStepKind::OpenFolder);
    open.folder = Wide(dir.Path());
    TStepReply r = channel.Send(open);
    ASSERT_EQ(r.result, TStepResult::Done) << r.reason;
    r = channel.Send(Ask(TStepKind::RemovePostponingKeys));
    EXPECT_EQ(r.result, TStepResult::Done) << r.reason;
    // Out of the procedure's order: refused by the step's session.
    r = channel.Send(Ask(TStepKind::RemovePostponingKeys));
    EXPECT_EQ(r.result, TStepResult::Refused);
    TRequest install = Ask(TStepKind::InstallModule);
    install.module = Forged();
    r = channel.Send(install);
    EXPECT_EQ(r.result, TStepResult::Refused);
    channel.Close();
    EXPECT_EQ(ReadFile(dir / "Stirpello.ini"), "[Updates]\r\n[Internet Connection]\r\nuseProxy=FALSE\r\n");
    EXPECT_EQ(ReadFile(dir / "Stirpello.exe"), "old module");
}

// A hostile caller that makes the pipe and starts the program as the step
// gets each of these refused, and nothing changes: a stand-in module is not
// started, a newer module is not rolled back, a link's target is not told.
TEST_F(ServedStep, AHostileCallerGetsNothingThroughThePipe) {
    TScratchDir secret("elevatedstep-hidden");
    const std::string link = dir / "link";
    ASSERT_TRUE(CreateSymbolicLinkA(link.c_str(), secret.Path().c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY));
    struct Case {
        const char* name;
        std::string module;  // in the folder
        std::string folder;
        TStepKind kind;
    };
    const Case cases[] = {
        {"start a stand-in", Forged(), dir.Path(), TStepKind::LaunchModule},
        {"roll a newer module back", WithVersionMoved(Genuine(), 1), dir.Path(), TStepKind::InstallModule},
        {"open through a link", "old module", link, TStepKind::OpenFolder},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(dir / "Stirpello.exe", c.module);
        DeleteFileA((dir / "UpdateModuleLaunched.txt").c_str());
        TStepChannel channel(nullptr, StartProgram());
        channel.Open(20000);
        TRequest open = Ask(TStepKind::OpenFolder);
        open.folder = Wide(c.folder);
        TStepReply r = channel.Send(open);
        if (c.kind != TStepKind::OpenFolder) {
            ASSERT_EQ(r.result, TStepResult::Done) << r.reason;
            TRequest request = Ask(c.kind);
            if (c.kind == TStepKind::InstallModule) request.module = Genuine();
            r = channel.Send(request);
            EXPECT_EQ(r.result, TStepResult::Refused) << r.reason;
        } else {
            EXPECT_EQ(r.result, TStepResult::Failed);
            EXPECT_EQ(r.reason.find("hidden"), std::string::npos) << r.reason;
        }
        channel.Close();
        EXPECT_TRUE(ReadFile(dir / "Stirpello.exe") == c.module);
        EXPECT_EQ(ReadFile(dir / "Stirpello.ini"), ini);
        Sleep(300);
        EXPECT_TRUE(ReadFile(dir / "UpdateModuleLaunched.txt").empty()) << "something was started";
        EXPECT_TRUE(Leftovers().empty());
    }
    RemoveDirectoryA(link.c_str());
}

// The step is told apart by its arguments; a start without any is the
// window's, also with blanks after the program's name.
TEST(ElevatedStepCommandLine, OnlyTheStepArgumentAndAPipeMakeTheStep) {
    const struct {
        const wchar_t* line;
        bool step;
        const wchar_t* pipe;
    } cases[] = {
        {L"", false, L""},
        {L"C:\\Stirpello\\DownloadStirpelloUpdate.exe", false, L""},
        {L"\"C:\\Program Files\\x\\DownloadStirpelloUpdate.exe\"", false, L""},
        {L"\"C:\\Program Files\\x\\DownloadStirpelloUpdate.exe\"  \t ", false, L""},
        {L"\"C:\\Program Files\\x\\Download", false, L""},
        {L"\"C:\\a b\\u.exe\" --elevated-step \\\\.\\pipe\\p1", true, L"\\\\.\\pipe\\p1"},
        {L"u.exe --elevated-step \"\\\\.\\pipe\\with blank\"", true, L"\\\\.\\pipe\\with blank"},
        {L"\"u.exe\"\t--elevated-step\tp2", true, L"p2"},
        {L"u.exe \"--elevated-step\" p3", true, L"p3"},
        {L"u.exe --elevated-step", false, L""},
        {L"u.exe --elevated-step p x", false, L""},
        {L"u.exe --other p", false, L""},
    };
    for (const auto& c : cases) {
        std::wstring pipe;
        EXPECT_EQ(IsElevatedStepCommandLine(c.line, &pipe), c.step) << std::string(c.line, c.line + wcslen(c.line));
        EXPECT_EQ(pipe, c.pipe);
    }
    std::wstring pipe;
    EXPECT_FALSE(IsElevatedStepCommandLine(nullptr, &pipe));
}
