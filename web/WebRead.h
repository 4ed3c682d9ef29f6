#pragma once
// TWebRead: one read of one URL, into text or into a file, in direct mode
// (on the caller's thread), waiting mode (a worker, waiting with the message
// pump running) or background start (a worker; the caller polls). A reader
// serves one read and is released after it. It never lets a read's error
// escape; only a failure to start the worker thread does (from Fetch/Start).
// Use a reader from the main thread only.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "fileutil/Stream.h"
#include "web/MainThread.h"
#include "web/ReadProcedure.h"

class THttpClientThread;

// The last bytes of a partial file that are always fetched again.
constexpr int32_t ResumeMargin = 32768;

class TWebRead {
public:
    // A text read, no progress messages.
    TWebRead(const std::string& url, int32_t timeOut, int32_t proxyPort, const std::string& proxyServer);
    // As above, with progress messages to notifyWindow (a number of 0 or less
    // is not posted) and the body into targetFile when it is not empty.
    TWebRead(const std::string& url, int32_t timeOut, int32_t proxyPort, const std::string& proxyServer,
             TWindowHandle notifyWindow, int32_t msgWorkBegin, int32_t msgWork, int32_t msgWorkEnd,
             const std::string& targetFile);
    // Collects results that have arrived, and aborts a worker still running.
    ~TWebRead();
    TWebRead(const TWebRead&) = delete;
    TWebRead& operator=(const TWebRead&) = delete;

    std::string URL;
    bool Success = false;
    bool Threaded = false;
    std::string Content;  // the text, or URL + " contains " + TargetFile
    bool Done = false;
    std::string RequestKey;
    int32_t TimeOut = 0;  // ms
    int32_t ProxyPort = 0;  // 0 or less: no proxy
    std::string ProxyServer;
    std::weak_ptr<THttpClientThread> Worker;  // not owned; empty once it has ended
    int32_t MsgWorkBegin = 0, MsgWorkEnd = 0, MsgWork = 0;
    TWindowHandle NotifyWindow = nullptr;
    std::string TargetFile;
    std::unique_ptr<TDownloadFileStream> TargetStream;  // open during a direct read
    int32_t ResumeOffset = 0;
    // The largest the target file may grow to; less than 0: no bound.
    int64_t MaxFileSize = -1;
    bool SizePassed = false;  // the read was stopped at MaxFileSize

    // One read, direct (threaded false) or waiting mode (true), then hands
    // back Content and Success. processMessages is the pump run while waiting
    // and after each progress message; empty means ProcessMessages().
    void Fetch(std::string& content, bool& success, bool threaded,
               const std::function<void()>& processMessages = {});
    // Direct mode (false: returns when the read has ended) or background
    // start (true: returns at once; poll CollectResults).
    void Start(bool threaded);
    bool IsDone();
    // Whether the read has ended, taking over a worker's results when they
    // have arrived in the results store.
    bool CollectResults();

    // Whether an internet connection exists or could be dialled. Never throws.
    static bool CheckInternetConnection();
    // The next request key the counter will hand out (for tests and logs).
    static int32_t RequestCounter();

private:
    void StartRead();
    void RunRequest();
    void PumpMessages();
    std::function<void()> pump_;
};

// The body of one read, run by the reader in direct mode and, handed over
// as a TReadProcedure, by the worker: sets up a client, opens the target by
// the resume rule, GETs the URL. Never throws; success is false on any error.
// resumeOffset is set as the target is opened; targetStream holds the open
// target during the read.
void RunReadProcedure(const TReadSettings& settings, std::string& content, bool& success, int32_t& resumeOffset,
                      std::unique_ptr<TDownloadFileStream>& targetStream, const TReadHooks& hooks);
// RunReadProcedure as the worker runs it, with a target stream of its own.
TReadProcedure WorkerReadProcedure();
