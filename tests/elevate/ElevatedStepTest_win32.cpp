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

TEST_F(Step, FoldersThatAreNotAFixedProgramFolderAreNotOpened) {
    for (const std::string& folder : {std::string("\\\\server\\share\\Stirpello"), dir / "missing",
                                      dir / "Stirpello.ini", std::string("Stirpello")}) {
        TElevatedStep step(pin);
        EXPECT_NE(Open(step, folder).result, TStepResult::Done) << folder;
        EXPECT_EQ(step.Execute(Ask(TStepKind::WriteNotify)).result, TStepResult::Refused) << folder;
    }
}

// The step as the program runs it: the same exe with its one argument, over
// the real pipe, started here without a prompt.
TEST_F(Step, TheProgramServesTheChannel) {
    const std::wstring exe = Wide(ExeDir() + "DownloadStirpelloUpdate.exe");
    TStepChannel channel(nullptr, [&](const std::wstring&, const std::wstring& parameters, DWORD* error) -> HANDLE {
        std::wstring command = L"\"" + exe + L"\" " + parameters;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            *error = GetLastError();
            return nullptr;
        }
        CloseHandle(pi.hThread);
        return pi.hProcess;
    });
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
