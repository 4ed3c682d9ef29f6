// The web reader and its worker natively: the resume rule, progress
// messages, the three modes and the hand-over through the main-thread queue.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/TestSupport.h"
#include "tools/fakesite/FakeSite.h"
#include "web/HttpClientThread.h"
#include "web/WebRead.h"

using fakesite::TSite;
using testsupport::ReadFile;
using testsupport::TScratchDir;
using testsupport::WriteFile;

namespace {

using Clock = std::chrono::steady_clock;

struct TMessage {
    int32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
};

class TRecorder : public TPostTarget {
public:
    void Post(int32_t msg, uintptr_t w, intptr_t l) override {
        std::lock_guard<std::mutex> g(lock_);
        messages_.push_back({msg, w, l});
    }
    std::vector<TMessage> Messages() {
        std::lock_guard<std::mutex> g(lock_);
        return messages_;
    }

private:
    std::mutex lock_;
    std::vector<TMessage> messages_;
};

std::string Module(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

// Pumps the main-thread queue until pred holds or the time runs out.
template <class Pred>
bool PumpUntil(Pred pred, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > end) return false;
        ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class WebRead : public ::testing::Test {
protected:
    void SetUp() override {
        InitMainThread();
        site.SetBody("/module", module);
        site.Start();
    }
    void TearDown() override {
        // Every worker ends once its hand-over has run.
        EXPECT_TRUE(PumpUntil([] { return THttpClientThread::LiveCount() == 0; }, 15000));
    }
    TSite site;
    std::string module = Module(150000);
    TScratchDir dir{"webread"};
};

TEST_F(WebRead, DirectTextReadAndFailure) {
    TWebRead reader(site.Url("/"), 7000, 0, "unspecified");  // port 0: the text is ignored
    std::string content;
    bool success = false;
    reader.Fetch(content, success, false);
    EXPECT_TRUE(success);
    EXPECT_NE(content.find("Genealogy Software"), std::string::npos);
    EXPECT_TRUE(reader.Done);

    site.AddFault("/", fakesite::ParseFault("status=500"));
    TWebRead failing(site.Url("/"), 7000, 0, "");
    failing.Fetch(content, success, false);
    EXPECT_FALSE(success);
    EXPECT_EQ(content, "");
}

TEST_F(WebRead, RequestKeysCountUp) {
    TWebRead a("http://x/", 1, 0, "");
    TWebRead b("http://x/", 1, 0, "");
    EXPECT_EQ(std::stoi(b.RequestKey), std::stoi(a.RequestKey) + 1);
    EXPECT_EQ(TWebRead::RequestCounter(), std::stoi(b.RequestKey) + 1);
}

// The resume rule: existing size -> offset asked for; the file ends up whole.
TEST_F(WebRead, ResumeRuleAndProgressMessages) {
    struct {
        int64_t existing;  // -1: no file
        int32_t offset;
    } cases[] = {{-1, 0}, {0, 0}, {32768, 0}, {32769, 1}, {100000, 67232}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.existing);
        std::string path = dir / "Stirpello.exe";
        std::remove(path.c_str());
        if (c.existing >= 0) WriteFile(path, module.substr(0, static_cast<size_t>(c.existing)));
        site.ClearRequests();
        TRecorder window;
        TWebRead reader(site.Url("/module"), 7000, 0, "", &window, 1064, 1065, 1066, path);
        reader.Start(false);
        EXPECT_TRUE(reader.Success);
        EXPECT_EQ(reader.Content, site.Url("/module") + " contains " + path);
        EXPECT_EQ(reader.ResumeOffset, c.offset);
        EXPECT_EQ(ReadFile(path), module);
        auto head = site.Requests().at(0).head;
        if (c.offset) EXPECT_NE(head.find("Range: bytes=" + std::to_string(c.offset) + "-\r\n"), std::string::npos);
        else EXPECT_EQ(head.find("Range:"), std::string::npos);
        auto m = window.Messages();
        ASSERT_GE(m.size(), 3u);
        EXPECT_EQ(m.front().msg, 1064);
        EXPECT_EQ(m.front().wParam, static_cast<uintptr_t>(c.offset));
        EXPECT_EQ(m.front().lParam, 150000);  // the whole file's size
        EXPECT_EQ(m[m.size() - 2].msg, 1065);
        EXPECT_EQ(m[m.size() - 2].wParam, 0u);
        EXPECT_EQ(m[m.size() - 2].lParam, 150000);  // bytes on disk
        EXPECT_EQ(m.back().msg, 1066);
        EXPECT_EQ(m.back().lParam, 0);
    }
}

TEST_F(WebRead, MessagesWithNumberZeroAreNotPosted) {
    TRecorder window;
    TWebRead reader(site.Url("/module"), 7000, 0, "", &window, 0, 1065, 0, "");
    reader.Start(false);
    EXPECT_TRUE(reader.Success);
    for (auto& m : window.Messages()) EXPECT_EQ(m.msg, 1065);
    EXPECT_FALSE(window.Messages().empty());
}

TEST_F(WebRead, IgnoredRangeRestartsTheFile) {
    // A stale longer file, and a server that sends the whole body for a range.
    std::string path = dir / "Stirpello.exe";
    WriteFile(path, std::string(200000, 'x'));
    site.AddFault("/module", fakesite::ParseFault("ignore-range"));
    TRecorder window;
    TWebRead reader(site.Url("/module"), 7000, 0, "", &window, 1064, 1065, 1066, path);
    reader.Start(false);
    EXPECT_TRUE(reader.Success);
    EXPECT_EQ(ReadFile(path), module);
    EXPECT_EQ(reader.ResumeOffset, 0);
    EXPECT_EQ(window.Messages().front().wParam, 0u);
    EXPECT_EQ(window.Messages().front().lParam, 150000);
}

TEST_F(WebRead, FailedFileReadKeepsWhatArrived) {
    std::string path = dir / "part.bin";
    site.AddFault("/module", fakesite::ParseFault("cut=50000,close,times=1"));
    site.AddFault("/module", fakesite::ParseFault("status=404"));
    TWebRead first(site.Url("/module"), 7000, 0, "", nullptr, 0, 0, 0, path);
    first.Start(false);
    EXPECT_TRUE(first.Success);  // cut short after a Content-Length is no error
    EXPECT_EQ(ReadFile(path), module.substr(0, 50000));
    TWebRead second(site.Url("/module"), 7000, 0, "", nullptr, 0, 0, 0, path);
    second.Start(false);
    EXPECT_FALSE(second.Success);
    EXPECT_EQ(second.Content, "");
    EXPECT_EQ(ReadFile(path), module.substr(0, 50000));

    TWebRead nowhere(site.Url("/module"), 7000, 0, "", nullptr, 0, 0, 0, dir / "no/such/folder/x.bin");
    nowhere.Start(false);
    EXPECT_FALSE(nowhere.Success);
}

// A body longer than the file may be is stopped at the bound, in both modes
// and on a resumed file; nothing past the bound reaches the disk.
TEST_F(WebRead, DownloadStopsAtTheSizeBound) {
    struct {
        bool threaded;
        int64_t existing;  // -1: no file
        int64_t bound;
        bool passed;
    } cases[] = {{false, -1, 150000, false}, {false, -1, 100000, true}, {false, 60000, 100000, true},
                 {true, -1, 150000, false},  {true, -1, 149999, true},  {false, -1, -1, false}};
    for (auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.threaded) + " " + std::to_string(c.existing) + " " + std::to_string(c.bound));
        std::string path = dir / "Stirpello.exe";
        std::remove(path.c_str());
        if (c.existing >= 0) WriteFile(path, module.substr(0, static_cast<size_t>(c.existing)));
        TRecorder window;
        TWebRead reader(site.Url("/module"), 7000, 0, "", &window, 1064, 1065, 1066, path);
        reader.MaxFileSize = c.bound;
        reader.Start(c.threaded);
        ASSERT_TRUE(PumpUntil([&] { return reader.CollectResults(); }, 15000));
        EXPECT_EQ(reader.SizePassed, c.passed);
        EXPECT_EQ(reader.Success, !c.passed);
        std::string got = ReadFile(path);
        if (c.passed) {
            EXPECT_LE(static_cast<int64_t>(got.size()), c.bound);
            EXPECT_EQ(got, module.substr(0, got.size()));
        } else {
            EXPECT_EQ(got, module);
        }
    }
}

TEST_F(WebRead, WaitingModeCollectsAfterACycle) {
    TWebRead reader(site.Url("/probe/"), 7000, 0, "");
    std::string content;
    bool success = false;
    auto start = Clock::now();
    reader.Fetch(content, success, true);
    auto took = Clock::now() - start;
    EXPECT_TRUE(success);
    EXPECT_NE(content.find("<input"), std::string::npos);
    EXPECT_TRUE(reader.Threaded);
    // The end is noticed between wait cycles of about a second.
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
}

TEST_F(WebRead, WaitingModeGivesUpAfterItsBound) {
    // A body that trickles in: every read is within the time-out, but the
    // whole takes about four seconds.
    site.AddFault("/", fakesite::ParseFault("slow=300,piece=10"));
    std::string key;
    {
        TWebRead reader(site.Url("/"), 1500, 0, "");
        key = reader.RequestKey;
        std::string content = "old";
        bool success = true;
        auto start = Clock::now();
        reader.Fetch(content, success, true);
        auto took = Clock::now() - start;
        EXPECT_FALSE(success);
        EXPECT_EQ(content, "");
        EXPECT_TRUE(reader.Done);
        // 1500 div 1000 + 1 = 2 cycles of four 250 ms pauses.
        EXPECT_GE(took, std::chrono::milliseconds(1900));
        EXPECT_LT(took, std::chrono::milliseconds(4000));
    }
    // The worker runs on to its end and leaves its record behind.
    ASSERT_TRUE(PumpUntil([&] { return ResultsStore().Find(key) != nullptr; }, 10000));
    EXPECT_TRUE(ResultsStore().Find(key)->Success);
    ResultsStore().Remove(key);
}

TEST_F(WebRead, TextReadsHaveATotalBoundDownloadsDoNot) {
    // One byte every 150 ms: each wait is well within the time-out of 500,
    // but the whole takes about 3.6 s, past four time-outs (2 s).
    site.SetBody("/drip", std::string(24, 'd'));
    site.AddFault("/drip", fakesite::ParseFault("slow=150,piece=1"));
    TWebRead text(site.Url("/drip"), 500, 0, "");
    std::string content = "old";
    bool success = true;
    auto start = Clock::now();
    text.Fetch(content, success, false);
    auto took = Clock::now() - start;
    EXPECT_FALSE(success);
    EXPECT_EQ(content, "");
    EXPECT_GE(took, std::chrono::milliseconds(1900));
    EXPECT_LT(took, std::chrono::milliseconds(3400));

    std::string path = dir / "drip.bin";
    TWebRead file(site.Url("/drip"), 500, 0, "", nullptr, 0, 0, 0, path);
    file.Start(false);
    EXPECT_TRUE(file.Success);
    EXPECT_EQ(ReadFile(path), std::string(24, 'd'));
}

TEST_F(WebRead, BackgroundStartAndCollect) {
    std::string path = dir / "bg.bin";
    TRecorder window;
    TWebRead reader(site.Url("/module"), 60000, 0, "", &window, 1064, 1065, 1066, path);
    reader.Start(true);
    EXPECT_FALSE(reader.Done);
    EXPECT_TRUE(PumpUntil([&] { return reader.CollectResults(); }, 10000));
    EXPECT_TRUE(reader.Success);
    EXPECT_EQ(reader.Content, site.Url("/module") + " contains " + path);
    EXPECT_EQ(ReadFile(path), module);
    EXPECT_EQ(ResultsStore().Find(reader.RequestKey), nullptr);  // taken over
    EXPECT_EQ(window.Messages().back().msg, 1066);
}

TEST_F(WebRead, WorkerWithoutMessageNumbersReadsIntoMemory) {
    std::string path = dir / "untouched.bin";
    WriteFile(path, "keep me");
    TWebRead reader(site.Url("/"), 7000, 0, "", nullptr, 0, 0, 0, path);
    reader.Start(true);
    EXPECT_TRUE(PumpUntil([&] { return reader.IsDone(); }, 10000));
    EXPECT_TRUE(reader.Success);
    EXPECT_NE(reader.Content.find("Genealogy Software"), std::string::npos);
    EXPECT_EQ(ReadFile(path), "keep me");
}

TEST_F(WebRead, WorkerWaitsForTheMainThread) {
    std::string key;
    {
        TWebRead reader(site.Url("/"), 7000, 0, "");
        key = reader.RequestKey;
        reader.Start(true);
        site.WaitForRequests(1, 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // No messages processed: the hand-over cannot have happened.
        EXPECT_EQ(ResultsStore().Find(key), nullptr);
        EXPECT_EQ(THttpClientThread::LiveCount(), 1);
        EXPECT_FALSE(reader.IsDone());
        EXPECT_TRUE(PumpUntil([&] { return reader.IsDone(); }, 5000));
        EXPECT_TRUE(reader.Success);
    }
}

// A cancel that lands before the worker has begun its GET (while it makes
// the client or opens the file) must not be lost: no request is made.
TEST_F(WebRead, AbortBeforeTheGetBeginsMakesNoRequest) {
    auto worker = THttpClientThread::Create(true, "early-abort", site.Url("/module"), 60000, 0, "", nullptr, 1064,
                                            1065, 1066, dir / "early.bin", WorkerReadProcedure());
    worker->AbortRequest();
    worker->Resume();
    EXPECT_TRUE(PumpUntil([] { return ResultsStore().Find("early-abort") != nullptr; }, 10000));
    const TThreadResults* results = ResultsStore().Find("early-abort");
    ASSERT_NE(results, nullptr);
    EXPECT_FALSE(results->Success);
    ResultsStore().Remove("early-abort");
    worker.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(site.Requests().empty());
}

TEST_F(WebRead, ReleasingTheReaderAbortsItsWorker) {
    site.AddFault("/module", fakesite::ParseFault("stall-after=20000"));
    std::string key;
    auto start = Clock::now();
    {
        TWebRead reader(site.Url("/module"), 60000, 0, "", nullptr, 1064, 1065, 1066, dir / "aborted.bin");
        key = reader.RequestKey;
        reader.Start(true);
        site.WaitForRequests(1, 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    // Far sooner than the 60 s read time-out: the connection was closed.
    ASSERT_TRUE(PumpUntil([&] { return ResultsStore().Find(key) != nullptr; }, 10000));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(ResultsStore().Find(key)->Success);
    EXPECT_EQ(ReadFile(dir / "aborted.bin"), module.substr(0, 20000));
    ResultsStore().Remove(key);
}

TEST_F(WebRead, ReleasingAfterCollectAbortsNothing) {
    auto reader = std::make_unique<TWebRead>(site.Url("/"), 7000, 0, "");
    reader->Start(true);
    EXPECT_TRUE(PumpUntil([&] { return reader->CollectResults(); }, 10000));
    reader.reset();
    EXPECT_EQ(ResultsStore().Count(), 0u);
}

TEST(ResultsStoreKeys, IgnoreCaseAndOwnRecords) {
    TResultsStore store;
    auto r = std::make_unique<TThreadResults>();
    r->Content = "c";
    store.Add("Key7", std::move(r));
    ASSERT_NE(store.Find("kEY7"), nullptr);
    EXPECT_EQ(store.Find("kEY7")->Content, "c");
    store.Remove("KEY7");
    EXPECT_EQ(store.Count(), 0u);
}

}  // namespace
