// The download window under Wine: its texts and handlers directly, then whole
// downloads against the loopback site with scripted faults.
#include <winsock2.h>  // before windows.h

#include "web/FileDownloader_win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "fileutil/FileHelpers.h"
#include "tests/web/FileDownloaderSite_win32.h"
#include "web/Crc32.h"
#include "web/MainThread.h"

using namespace testsupport;
using namespace dltest;

namespace {

const int32_t kModuleSize = 1294848;
const int32_t kModuleCrc = 1348818072;
const std::string kMirror = "/send/file/184287-IUDF/Stirpello.exe";
const std::string kFallback = "/stirpelloweb/Updates/Stirpello.exe";

std::string ModuleFile() { return ExeDir() + "update_module.exe"; }

TEST(FileDownloaderText, SizesAndTimes) {
    const struct {
        int32_t bytes;
        const char* text;
    } sizes[] = {{-5, "-5 Bytes"},     {0, "0 Bytes"},         {999, "999 Bytes"},          {1000, "1KB"},
                 {99999, "99KB"},      {100000, "0.10MB"},     {1294848, "1.29MB"},
                 {9999999, "10.00MB"}, {123456789, "123.50MB"}, {2147483647, "2147.00MB"}};
    for (const auto& c : sizes) EXPECT_EQ(TFileDownloader::SizeText(c.bytes), c.text) << c.bytes;
    const struct {
        int32_t seconds;
        const char* text;
    } times[] = {{0, "0:00:00"}, {59, "0:00:59"}, {3600, "1:00:00"}, {3725, "1:02:05"}, {90061, "25:01:01"}};
    for (const auto& c : times) EXPECT_EQ(TFileDownloader::TimeText(c.seconds), c.text) << c.seconds;
}

TEST(FileDownloaderWindow, StartsWithItsTextsAndDefaults) {
    TFileDownloader w;
    char buf[64];
    GetWindowTextA(w.Handle(), buf, sizeof buf);
    EXPECT_STREQ(buf, "Downloading File....");
    RECT rc;
    GetClientRect(w.Handle(), &rc);
    EXPECT_EQ(rc.right, 618);
    EXPECT_EQ(rc.bottom, 243);
    EXPECT_EQ(w.ControlText(TFileDownloader::idCancelButton), "Cancel");
    EXPECT_EQ(w.ControlText(TFileDownloader::idRetryLabel), "");
    // The button is first in tab order.
    EXPECT_EQ(GetWindow(w.Handle(), GW_CHILD), w.Control(TFileDownloader::idCancelButton));
    EXPECT_EQ(w.ProxyServer, "unknown");
    EXPECT_EQ(w.ProxyPort, 0);
    EXPECT_EQ(w.ExpectedSize, -1);
    EXPECT_EQ(w.ExpectedCrc, 0);
    EXPECT_EQ(w.Position, -1);
    EXPECT_EQ(w.SecondsRemaining, -1);
    EXPECT_FALSE(w.SizeKnown || w.Running || w.AlreadyComplete || w.Activated);
}

TEST(FileDownloaderWindow, ProgressMessagesHonourTheirThresholds) {
    TFileDownloader w;
    using C = TFileDownloader;
    // A work-begin below 500 (a redirect's or an error's body) is ignored.
    w.WorkBegin(0, 499);
    EXPECT_FALSE(w.SizeKnown);
    EXPECT_EQ(w.ControlText(C::idFileSizeEdit), "");
    // Before any size, work messages only show what is on disk.
    w.Work(5000);
    EXPECT_EQ(w.ControlText(C::idAlreadyDownloadedEdit), "5KB");
    EXPECT_EQ(w.ControlText(C::idRemainingEdit), "");

    w.WorkBegin(0, 100000);
    EXPECT_TRUE(w.SizeKnown);
    EXPECT_EQ(w.TotalSize, 100000);
    EXPECT_EQ(w.ControlText(C::idFileSizeEdit), "0.10MB");
    // Below 1000 bytes only the on-disk box changes.
    w.Work(999);
    EXPECT_EQ(w.ControlText(C::idAlreadyDownloadedEdit), "999 Bytes");
    EXPECT_EQ(w.ControlText(C::idRemainingEdit), "");
    EXPECT_EQ(w.ProgressPosition(), 0);

    w.Work(5000);
    EXPECT_EQ(w.ProgressPosition(), 5);
    EXPECT_EQ(w.RequestBytes, 5000);
    EXPECT_EQ(w.ControlText(C::idRemainingEdit), "95KB");
    // A jump of 90 points is not shown; the next step within 90 is.
    w.Work(95000);
    EXPECT_EQ(w.ProgressPosition(), 5);
    EXPECT_EQ(w.ControlText(C::idRemainingEdit), "5KB");
    w.Work(94000);
    EXPECT_EQ(w.ProgressPosition(), 94);
    EXPECT_EQ(w.ControlText(C::idProgressBar), "94%");

    // A resumed request counts its bytes from its offset.
    w.WorkBegin(67232, 100000);
    w.Work(70000);
    EXPECT_EQ(w.StartOffset, 67232);
    EXPECT_EQ(w.RequestBytes, 70000 - 67232);
}

TEST(FileDownloaderWindow, TimeRemainingCountsFromCreationWithTheLongerDay) {
    TFileDownloader w;
    using C = TFileDownloader;
    w.WorkBegin(0, 1000000);
    // 2.8 s since creation counts as 2 (x 90000 / 86400): no estimate yet.
    w.CreatedAt = C::TClock::now() - std::chrono::milliseconds(2800);
    w.Work(100000);
    EXPECT_EQ(w.ControlText(C::idTimeRemainingEdit), "");
    EXPECT_EQ(w.SecondsRemaining, -1);
    // 9.6 s counts as 10: 100000 bytes at 10000 per "second", 900000 to go.
    w.CreatedAt = C::TClock::now() - std::chrono::milliseconds(9650);
    w.Work(100000);
    EXPECT_EQ(w.SecondsRemaining, 91);
    EXPECT_EQ(w.ControlText(C::idTimeRemainingEdit), "0:01:31");
    // Fewer bytes than "seconds" give no rate.
    w.CreatedAt = C::TClock::now() - std::chrono::hours(1);
    w.WorkBegin(0, 1000000);
    w.Work(2000);
    EXPECT_EQ(w.ControlText(C::idTimeRemainingEdit), "alot...");
    // Done: nothing remains.
    w.CreatedAt = C::TClock::now() - std::chrono::seconds(10);
    w.Work(1000000);
    EXPECT_EQ(w.SecondsRemaining, 0);
    EXPECT_EQ(w.ControlText(C::idTimeRemainingEdit), "0:00:00");
}

// The nesting of message pumps, as a pump that counts itself sees it. It
// goes no deeper than kPumpLimit, so that nesting fails the test instead of
// overflowing the stack (which under Wine can end the process with code 0).
const int kPumpLimit = 8;
int g_pumpDepth = 0, g_deepestPump = 0;
void CountingPump() {
    ++g_pumpDepth;
    g_deepestPump = std::max(g_deepestPump, g_pumpDepth);
    if (g_pumpDepth <= kPumpLimit) DefaultProcessMessages();
    --g_pumpDepth;
}

// After the UI thread has stalled, a backlog of progress messages is drained
// by one pump, not by one pump inside another per message.
TEST(FileDownloaderWindow, ProgressBacklogIsDrainedWithoutNestedPumps) {
    TFileDownloader w;
    w.WorkBegin(0, 10000000);
    w.CreatedAt = TFileDownloader::TClock::now() - std::chrono::seconds(10);  // time estimates (and pumps) on
    const HWND hwnd = w.Handle();
    const int kMessages = 5000;
    // A worker queues the backlog while this thread waits for it, as the UI
    // thread waits behind a message box.
    std::thread worker([hwnd] {
        for (int i = 1; i <= kMessages; ++i) {
            if (i % 1000 == 0) PostMessageA(hwnd, TFileDownloader::MsgWorkBegin, 0, 10000000);
            PostMessageA(hwnd, TFileDownloader::MsgWork, 0, 1000 + i * 100);
        }
    });
    worker.join();
    g_pumpDepth = g_deepestPump = 0;
    SetMessagePump(CountingPump);
    ProcessMessages();
    SetMessagePump(nullptr);
    EXPECT_GE(g_deepestPump, 1);
    EXPECT_LE(g_deepestPump, 2);
    // Every message was handled, in order.
    EXPECT_EQ(w.Position, 1000 + kMessages * 100);
    EXPECT_EQ(w.ControlText(TFileDownloader::idAlreadyDownloadedEdit), "0.50MB");
}

// A site in this process that sends a body of kModuleSize slowly and notes
// when the client's end of the connection closes.
class TSlowSite {
public:
    TSlowSite() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listen_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int len = sizeof a;
        if (bind(listen_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(listen_, 1) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TSlowSite() {
        stop_ = true;
        thread_.join();
        closesocket(listen_);
        WSACleanup();
    }
    TSlowSite(const TSlowSite&) = delete;
    TSlowSite& operator=(const TSlowSite&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/slow.bin"; }
    static char Byte(size_t i) { return static_cast<char>((i * 31 + 7) & 0xFF); }
    int64_t Sent() const { return sent_; }
    // When the client's end closed; the epoch when it has not.
    std::chrono::steady_clock::time_point ClosedAt() const {
        std::lock_guard<std::mutex> g(lock_);
        return closedAt_;
    }

private:
    bool Readable(SOCKET s, int ms) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv = {0, ms * 1000};
        return select(0, &set, nullptr, nullptr, &tv) != 0;
    }
    void Serve() {
        while (!stop_ && !Readable(listen_, 50)) {
        }
        if (stop_) return;
        SOCKET c = accept(listen_, nullptr, nullptr);
        std::string head;
        char buf[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            const int n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            head.append(buf, static_cast<size_t>(n));
        }
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                   std::to_string(kModuleSize) + "\r\n\r\n";
        send(c, answer.data(), static_cast<int>(answer.size()), 0);
        std::string piece(4096, '\0');
        while (!stop_ && sent_ < kModuleSize) {
            // The client sends nothing more: readable means closed (or reset).
            bool closed = Readable(c, 20);
            if (!closed) {
                for (size_t i = 0; i < piece.size(); ++i) piece[i] = Byte(static_cast<size_t>(sent_) + i);
                const int n = send(c, piece.data(), static_cast<int>(std::min<int64_t>(4096, kModuleSize - sent_)), 0);
                if (n > 0) sent_ += n;
                closed = n <= 0;
            }
            if (closed) {
                std::lock_guard<std::mutex> g(lock_);
                closedAt_ = std::chrono::steady_clock::now();
                break;
            }
        }
        closesocket(c);
    }

    SOCKET listen_ = INVALID_SOCKET;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> sent_{0};
    mutable std::mutex lock_;
    std::chrono::steady_clock::time_point closedAt_;
    std::thread thread_;
};

// The close box (or Alt+F4) during a transfer stops it as Cancel does: the
// connection goes at once, the window closes without waiting out the file,
// and the closing checks measure the file as it stays.
TEST(FileDownloaderClose, ClosingTheWindowStopsTheTransferFirst) {
    TScratchDir dir("close-mid-transfer");
    TSlowSite site;
    TFileDownloader w;
    w.Url = site.Url();
    w.SaveTo = dir / "Stirpello.exe";
    w.ExpectedSize = kModuleSize;
    w.ExpectedCrc = kModuleCrc;
    std::chrono::steady_clock::time_point closedBox;
    std::thread user([&] {
        if (!WaitUntil([&] { return site.Sent() >= 100000; }, 20000, 10)) return;
        closedBox = std::chrono::steady_clock::now();
        PostMessageA(w.Handle(), WM_CLOSE, 0, 0);
    });
    const int result = w.ShowModal();
    const auto returned = std::chrono::steady_clock::now();
    user.join();
    ASSERT_NE(closedBox, std::chrono::steady_clock::time_point{}) << "the transfer never got going";
    EXPECT_EQ(result, mrRetry);
    // The window did not sit out the wait for the file's release.
    EXPECT_LT(std::chrono::duration<double>(returned - closedBox).count(), 2.0);
    EXPECT_TRUE(WaitUntil([&] { return site.ClosedAt() != std::chrono::steady_clock::time_point{}; }, 5000));
    EXPECT_LT(std::chrono::duration<double>(site.ClosedAt() - closedBox).count(), 1.0)
        << "the site saw the connection close only after " << std::chrono::duration<double>(site.ClosedAt() - closedBox).count() << " s";

    const int64_t onDisk = TEasyFile::FileSize(w.SaveTo);
    EXPECT_GT(onDisk, 0);
    EXPECT_EQ(w.TotalSize, onDisk);
    EXPECT_EQ(w.FinalCrc, FileCrc32(w.SaveTo));
    EXPECT_NE(w.FinalCrc, 0);
    const std::string data = ReadFile(w.SaveTo);
    std::string expected(data.size(), '\0');
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = TSlowSite::Byte(i);
    EXPECT_TRUE(data == expected) << "the file holds what the site sent";
    // Nothing more arrives after the close.
    const int64_t sent = site.Sent();
    Sleep(500);
    EXPECT_EQ(TEasyFile::FileSize(w.SaveTo), onDisk);
    EXPECT_EQ(site.Sent(), sent);
}

// One showing of the window against a site, with what it showed on the way.
struct TOutcome {
    int result = 0;
    int32_t totalSize = 0, finalCrc = 0, attempts = 0;
    double seconds = 0;
    std::vector<std::string> retryLabels;  // each text retryLabel took on
};

TOutcome RunDownload(TFileDownloader& w) {
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<std::string> labels;
    HWND label = w.Control(TFileDownloader::idRetryLabel);
    std::thread watcher([&] {
        std::string last;
        while (!stop) {
            // Empty once the window is gone at the end; the label never empties
            // itself while the window shows.
            std::string now = TextOf(label);
            if (!now.empty() && now != last) {
                std::lock_guard<std::mutex> g(lock);
                labels.push_back(now);
                last = now;
            }
            Sleep(50);
        }
    });
    auto t0 = std::chrono::steady_clock::now();
    TOutcome o;
    o.result = w.ShowModal();
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    stop = true;
    watcher.join();
    o.totalSize = w.TotalSize;
    o.finalCrc = w.FinalCrc;
    o.attempts = w.Attempts;
    o.retryLabels = labels;
    return o;
}

class FileDownloaderRun : public ::testing::Test {
protected:
    FileDownloaderRun() : dir_(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}

    void StartSite(std::vector<std::string> args) {
        args.insert(args.begin(), {"--module", UnixPath(ModuleFile())});
        site_ = std::make_unique<TSiteProcess>(dir_, args);
    }
    void Prepare(TFileDownloader& w) {
        w.Url = site_->Url(kMirror);
        w.AlternateUrl = site_->Url(kFallback);
        w.SaveTo = Target();
        w.ExpectedSize = kModuleSize;
        w.ExpectedCrc = kModuleCrc;
    }
    std::string Target() const { return dir_ / "Stirpello.exe"; }
    void ExpectWholeModule() {
        EXPECT_EQ(TEasyFile::FileSize(Target()), kModuleSize);
        EXPECT_TRUE(ReadFile(Target()) == ReadFile(ModuleFile()));
    }

    TScratchDir dir_;
    std::unique_ptr<TSiteProcess> site_;
};

TEST_F(FileDownloaderRun, CleanDownloadThenCompleteFileNeedsNoRequest) {
    StartSite({});
    {
        TFileDownloader w;
        Prepare(w);
        TOutcome o = RunDownload(w);
        EXPECT_EQ(o.result, mrOk);
        EXPECT_EQ(o.totalSize, kModuleSize);
        EXPECT_EQ(o.finalCrc, kModuleCrc);
        EXPECT_EQ(o.attempts, 0);
        EXPECT_EQ(w.ControlText(TFileDownloader::idProgressBar), "100%");
        EXPECT_EQ(w.ControlText(TFileDownloader::idFileSizeEdit), "1.29MB");
        EXPECT_EQ(w.ControlText(TFileDownloader::idUrlEdit), w.Url);
        EXPECT_EQ(w.ControlText(TFileDownloader::idSaveToEdit), Target());
    }
    ExpectWholeModule();
    std::vector<std::string> requests = site_->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(RequestPath(requests[0]), kMirror);
    EXPECT_EQ(Header(requests[0], "Range"), "");

    TFileDownloader again;
    Prepare(again);
    TOutcome o = RunDownload(again);
    EXPECT_EQ(o.result, mrOk);
    EXPECT_TRUE(again.AlreadyComplete);
    EXPECT_EQ(o.finalCrc, kModuleCrc);
    // It waits for the first tick of the 2 s timer, and needs no second one.
    EXPECT_GE(o.seconds, 1.5);
    EXPECT_LT(o.seconds, 6.0);
    EXPECT_EQ(site_->Requests().size(), 1u);
}

// A target that is too large, or the right size with the wrong checksum, is
// thrown away: the download starts from nothing (no Range).
TEST_F(FileDownloaderRun, UnusableTargetIsDeletedFirst) {
    StartSite({});
    const struct {
        const char* name;
        size_t size;
    } cases[] = {{"larger", kModuleSize + 40000u}, {"wrong checksum", size_t{kModuleSize}}};
    size_t seen = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(Target(), std::string(c.size, 'x'));
        TFileDownloader w;
        Prepare(w);
        EXPECT_EQ(RunDownload(w).result, mrOk);
        ExpectWholeModule();
        std::vector<std::string> requests = site_->Requests();
        ASSERT_EQ(requests.size(), seen + 1);
        EXPECT_EQ(Header(requests[seen], "Range"), "");
        seen = requests.size();
    }
}

// A complete file that another program holds so that it cannot be read
// (security software, say) is not deleted: the window resumes into it once
// it is free, and the whole is checked at the end.
TEST_F(FileDownloaderRun, CompleteFileHeldByAnotherProgramIsKept) {
    StartSite({});
    WriteFile(Target(), ReadFile(ExeDir() + "update_module.exe"));
    HANDLE holder = CreateFileA(Target().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    // Held past the window's start, let go before its first retry.
    std::thread release([holder] {
        Sleep(4000);
        CloseHandle(holder);
    });
    TFileDownloader w;
    Prepare(w);
    TOutcome o = RunDownload(w);
    release.join();
    EXPECT_EQ(o.result, mrOk);
    ExpectWholeModule();
    // Checked once free, or resumed into: never fetched anew from the start.
    for (const std::string& r : site_->Requests()) EXPECT_NE(Header(r, "Range"), "") << "the kept file was fetched anew";
}

TEST_F(FileDownloaderRun, CutTransferResumesWithRange) {
    StartSite({"--fault", kMirror + ":cut=500000,times=1"});
    TFileDownloader w;
    Prepare(w);
    TOutcome o = RunDownload(w);
    EXPECT_EQ(o.result, mrOk);
    EXPECT_EQ(o.attempts, 1);
    ExpectWholeModule();
    std::vector<std::string> requests = site_->Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Header(requests[0], "Range"), "");
    // The resume margin: the last 32768 bytes received are fetched again.
    EXPECT_EQ(Header(requests[1], "Range"), "bytes=467232-");
    EXPECT_EQ(RequestPath(requests[1]), kMirror);
    EXPECT_EQ(o.retryLabels, (std::vector<std::string>{"Resetting connection...", "Retrying... (1 of 5)"}));
    // The retry waits out 8 s from the start of the cut request.
    EXPECT_GE(o.seconds, 8.0);
}

TEST_F(FileDownloaderRun, DeadPrimaryGivesWayToTheFallbackFromTheThirdRetry) {
    // The mirror cuts the first answer and then resets every connection; the
    // fallback cuts twice more and then delivers the rest.
    StartSite({"--fault", kMirror + ":cut=300000,times=1", "--fault", kMirror + ":reset",
               "--fault", kFallback + ":cut=200000,times=2"});
    TFileDownloader w;
    Prepare(w);
    TOutcome o = RunDownload(w);
    EXPECT_EQ(o.result, mrOk);
    EXPECT_EQ(o.attempts, 5);
    ExpectWholeModule();
    std::vector<std::string> requests = site_->Requests();
    ASSERT_EQ(requests.size(), 6u);
    const std::string paths[] = {kMirror, kMirror, kMirror, kFallback, kFallback, kFallback};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(RequestPath(requests[i]), paths[i]) << i;
    std::vector<std::string> want;
    for (int k = 1; k <= 5; ++k) {
        want.push_back("Resetting connection...");
        want.push_back("Retrying... (" + std::to_string(k) + " of 5)");
    }
    EXPECT_EQ(o.retryLabels, want);
}

// Cancel inside a retry's pause ends the pause: no further request is made
// while the window closes, and the partial file is left alone.
TEST_F(FileDownloaderRun, CancelDuringRetryPauseStartsNoNewRequest) {
    StartSite({"--fault", kMirror + ":cut=300000"});
    TFileDownloader w;
    Prepare(w);
    std::string box;
    std::thread user([&] {
        HWND label = w.Control(TFileDownloader::idRetryLabel);
        if (!WaitUntil([&] { return TextOf(label) == "Resetting connection..."; }, 20000)) return;
        PostMessageA(w.Control(TFileDownloader::idCancelButton), BM_CLICK, 0, 0);
        box = AnswerMessageBox(10000);
    });
    TOutcome o = RunDownload(w);
    user.join();
    EXPECT_EQ(box, TFileDownloader::CancelMessage);
    EXPECT_EQ(o.result, mrRetry);
    EXPECT_EQ(o.totalSize, 300000);
    EXPECT_EQ(w.ControlText(TFileDownloader::idCancelButton), "Cancelling...");
    EXPECT_LT(o.seconds, 8.0);
    Sleep(500);
    EXPECT_EQ(site_->Requests().size(), 1u);
    EXPECT_EQ(TEasyFile::FileSize(Target()), 300000);
}

// A server that sends more than the module's size is stopped at that size
// and not asked again: it would only do the same.
TEST_F(FileDownloaderRun, BodyLongerThanExpectedStopsAtTheSizeWithoutRetry) {
    StartSite({});
    TFileDownloader w;
    Prepare(w);
    w.ExpectedSize = kModuleSize - 100000;
    TOutcome o = RunDownload(w);
    EXPECT_EQ(o.result, mrRetry);
    EXPECT_TRUE(w.SizePassed);
    EXPECT_EQ(o.attempts, 0);
    EXPECT_LE(TEasyFile::FileSize(Target()), kModuleSize - 100000);
    EXPECT_EQ(site_->Requests().size(), 1u);
    EXPECT_TRUE(o.retryLabels.empty());
}

TEST_F(FileDownloaderRun, TransferEndingBeforeAnySizeClosesWithoutRetry) {
    StartSite({"--fault", kMirror + ":status=404"});
    TFileDownloader w;
    Prepare(w);
    TOutcome o = RunDownload(w);
    EXPECT_EQ(o.result, mrRetry);
    EXPECT_EQ(o.attempts, 0);
    EXPECT_FALSE(w.SizeKnown);
    EXPECT_EQ(site_->Requests().size(), 1u);
    EXPECT_LT(o.seconds, 8.0);  // no retry pause
    EXPECT_TRUE(o.retryLabels.empty());
}

}  // namespace
