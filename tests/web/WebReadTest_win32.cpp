// The web reader's worker modes under Wine: the hand-over through the
// message-only window, progress messages to a real window, the waiting
// bound, and the abort. The server is the Linux fakesite program, which
// Wine starts like any other program.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"
#include "web/HttpClient.h"
#include "web/HttpClientThread.h"
#include "web/WebRead.h"

using testsupport::ReadFile;
using testsupport::WriteFile;

namespace {

using Clock = std::chrono::steady_clock;

std::string UnixPath(std::string p) {
    if (p.size() >= 2 && (p[0] == 'Z' || p[0] == 'z') && p[1] == ':') p = p.substr(2);
    for (auto& c : p)
        if (c == '\\') c = '/';
    return p;
}

std::string WinPath(std::string p) {
    for (auto& c : p)
        if (c == '/') c = '\\';
    return "Z:" + p;
}

// The loopback site as a separate Linux process; stopped through its quit path.
class TFakeSiteProcess {
public:
    explicit TFakeSiteProcess(const std::string& args) {
        const char* env = std::getenv("STIRPELLO_FAKESITE");
        std::string exe = env ? env : UnixPath(testsupport::ExeDir()) + "../../native/bin/fakesite";
        portFile_ = "/tmp/stirpello-fakesite-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(GetTickCount()) + ".port";
        std::string cmd = exe + " --lifetime 120 --port-file " + portFile_ + " " + args;
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                 OPEN_EXISTING, 0, nullptr);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        // Not the test's own output: ctest would wait for the server to close it.
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = si.hStdOutput = si.hStdError = nul;
        PROCESS_INFORMATION pi{};
        std::vector<char> line(cmd.begin(), cmd.end());
        line.push_back('\0');
        bool ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
        CloseHandle(nul);
        if (!ok) throw std::runtime_error("cannot start " + exe + " (build the native tree first)");
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        for (int i = 0; i < 200 && port_ == 0; ++i) {
            std::ifstream f(WinPath(portFile_));
            f >> port_;
            if (port_ == 0) Sleep(50);
        }
        if (port_ == 0) throw std::runtime_error("fakesite did not report its port: " + exe);
    }
    ~TFakeSiteProcess() {
        try {
            Control("/__fakesite/quit");
        } catch (...) {
        }
        DeleteFileA(WinPath(portFile_).c_str());
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::string Control(const std::string& pathAndQuery) const {
        TIdHTTP http;
        http.ReadTimeout = 5000;
        return http.Get(Url(pathAndQuery));
    }
    void Fault(const std::string& path, const std::string& faults) {
        Control("/__fakesite/fault?path=" + path + "&faults=" + faults);
    }

private:
    std::string portFile_;
    int port_ = 0;
};

struct TMessage {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<TMessage> g_messages;

LRESULT CALLBACK RecorderProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg >= 1064 && msg <= 1066) {
        g_messages.push_back({msg, wParam, lParam});
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// A real (hidden) top-level window of the main thread.
class TRecorderWindow {
public:
    TRecorderWindow() {
        WNDCLASSA wc{};
        wc.lpfnWndProc = RecorderProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "StirpelloProgressRecorder";
        RegisterClassA(&wc);
        hwnd = CreateWindowExA(0, wc.lpszClassName, "recorder", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                               nullptr, wc.hInstance, nullptr);
        g_messages.clear();
    }
    ~TRecorderWindow() { DestroyWindow(hwnd); }
    HWND hwnd;
};

template <class Pred>
bool PumpUntil(Pred pred, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end) return false;
        ProcessMessages();
        Sleep(10);
    }
    return true;
}

std::string Module(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + i / 509) & 0xFF);
    return s;
}

class WebReadWine : public ::testing::Test {
protected:
    void SetUp() override {
        InitMainThread();
        CreateDirectoryA(WinPath(dir_).c_str(), nullptr);
        WriteFile(WinPath(dir_ + "module.bin"), module);
        site = std::make_unique<TFakeSiteProcess>("--file /module=" + dir_ + "module.bin");
    }
    void TearDown() override {
        EXPECT_TRUE(PumpUntil([] { return THttpClientThread::LiveCount() == 0; }, 15000));
        site.reset();
        DeleteFileA(WinPath(dir_ + "module.bin").c_str());
        DeleteFileA(Target().c_str());
        RemoveDirectoryA(WinPath(dir_).c_str());
    }
    std::string Target() const { return WinPath(dir_ + "Stirpello.exe"); }
    std::string dir_ = "/tmp/stirpello-webwine-" + std::to_string(GetCurrentProcessId()) + "/";
    std::string module = Module(150000);
    std::unique_ptr<TFakeSiteProcess> site;
};

TEST_F(WebReadWine, WaitingModeCollectsWithinAboutACycle) {
    TWebRead reader(site->Url("/probe/"), 7000, 0, "");
    std::string content;
    bool success = false;
    auto start = Clock::now();
    reader.Fetch(content, success, true);
    auto took = Clock::now() - start;
    EXPECT_TRUE(success);
    EXPECT_NE(content.find("<input"), std::string::npos);
    EXPECT_GE(took, std::chrono::milliseconds(900));
    // One cycle, not several: the bound stretches where programs run slower.
    EXPECT_LT(took, std::chrono::milliseconds(3000) * testsupport::TimeScale());
}

TEST_F(WebReadWine, WaitingModeGivesUpAtItsBoundAndTheWorkerStillEnds) {
    site->Fault("/", "slow=300,piece=10");  // about four seconds for the page
    std::string key;
    {
        TWebRead reader(site->Url("/"), 1500, 0, "");
        key = reader.RequestKey;
        std::string content = "old";
        bool success = true;
        auto start = Clock::now();
        reader.Fetch(content, success, true);
        auto took = Clock::now() - start;
        EXPECT_FALSE(success);
        EXPECT_EQ(content, "");
        EXPECT_GE(took, std::chrono::milliseconds(1900));
        EXPECT_LT(took, std::chrono::milliseconds(4000));
    }
    ASSERT_TRUE(PumpUntil([&] { return ResultsStore().Find(key) != nullptr; }, 10000));
    EXPECT_TRUE(ResultsStore().Find(key)->Success);
    ResultsStore().Remove(key);
}

TEST_F(WebReadWine, ProgressMessagesReachARealWindowWithTheResumeOffset) {
    for (bool threaded : {false, true}) {
        SCOPED_TRACE(threaded ? "background start" : "direct mode");
        WriteFile(Target(), module.substr(0, 100000));
        TRecorderWindow window;
        ASSERT_NE(window.hwnd, nullptr) << "the recorder window was not made: " << GetLastError();
        TWebRead reader(site->Url("/module"), 60000, 0, "", window.hwnd, 1064, 1065, 1066, Target());
        reader.Start(threaded);
        EXPECT_TRUE(PumpUntil([&] { return reader.CollectResults(); }, 15000));
        EXPECT_TRUE(reader.Success);
        EXPECT_EQ(reader.Content, site->Url("/module") + " contains " + Target());
        EXPECT_EQ(ReadFile(Target()), module);
        PumpUntil([] { return !g_messages.empty() && g_messages.back().msg == 1066; }, 5000);
        ASSERT_GE(g_messages.size(), 3u);
        EXPECT_EQ(g_messages.front().msg, 1064u);
        EXPECT_EQ(g_messages.front().wParam, 67232u);
        EXPECT_EQ(g_messages.front().lParam, 150000);
        const TMessage& work = g_messages[g_messages.size() - 2];
        EXPECT_EQ(work.msg, 1065u);
        EXPECT_EQ(work.wParam, 0u);
        EXPECT_EQ(work.lParam, 150000);
        EXPECT_EQ(g_messages.back().msg, 1066u);
        EXPECT_EQ(g_messages.back().wParam, 0u);
        EXPECT_EQ(g_messages.back().lParam, 0);
    }
}

TEST_F(WebReadWine, ReleasingTheReaderEarlyAbortsTheWorker) {
    site->Fault("/module", "stall-after=20000");
    std::string key;
    auto start = Clock::now();
    {
        TWebRead reader(site->Url("/module"), 60000, 0, "", nullptr, 1064, 1065, 1066, Target());
        key = reader.RequestKey;
        reader.Start(true);
        Sleep(800);  // the worker is now blocked in its read
        EXPECT_FALSE(reader.CollectResults());
    }
    // The reader is gone; its worker's connection was closed, so it ends far
    // sooner than its 60 s time-out and leaves its record behind.
    ASSERT_TRUE(PumpUntil([&] { return ResultsStore().Find(key) != nullptr; }, 15000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
    EXPECT_FALSE(ResultsStore().Find(key)->Success);
    EXPECT_EQ(ReadFile(Target()), module.substr(0, 20000));
    ResultsStore().Remove(key);
}

TEST_F(WebReadWine, NoHandOverWithoutMessageProcessing) {
    TWebRead reader(site->Url("/"), 7000, 0, "");
    reader.Start(true);
    Sleep(1000);  // the read itself takes milliseconds
    EXPECT_EQ(ResultsStore().Find(reader.RequestKey), nullptr);
    EXPECT_EQ(THttpClientThread::LiveCount(), 1);
    EXPECT_TRUE(PumpUntil([&] { return reader.IsDone(); }, 5000));
    EXPECT_TRUE(reader.Success);
}

}  // namespace
