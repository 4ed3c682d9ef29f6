#pragma once
// THttpClientThread: runs one web read on a thread of its own and hands the
// results to the main thread's results store. It owns itself: it is released
// after its results and its termination hook have run on the main thread.
// TThreadResults and the results store live here too.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "web/MainThread.h"
#include "web/ReadProcedure.h"

class TIdHTTP;

class THttpClientThread : public std::enable_shared_from_this<THttpClientThread> {
public:
    // Made suspended (Resume starts it). The second form adds progress
    // messages and a target file. The worker runs procedure with copies of
    // these settings (the reader passes RunReadProcedure in).
    static std::shared_ptr<THttpClientThread> Create(bool createSuspended, const std::string& requestKey,
                                                     const std::string& url, int32_t timeOut, int32_t proxyPort,
                                                     const std::string& proxyServer, TReadProcedure procedure);
    static std::shared_ptr<THttpClientThread> Create(bool createSuspended, const std::string& requestKey,
                                                     const std::string& url, int32_t timeOut, int32_t proxyPort,
                                                     const std::string& proxyServer, TWindowHandle notifyWindow,
                                                     int32_t msgWorkBegin, int32_t msgWork, int32_t msgWorkEnd,
                                                     const std::string& targetFile, TReadProcedure procedure);
    ~THttpClientThread();
    THttpClientThread(const THttpClientThread&) = delete;
    THttpClientThread& operator=(const THttpClientThread&) = delete;

    // Starts the thread. Throws std::system_error when it cannot be made.
    void Resume();
    // Main thread: closes the connection of a GET under way; a GET not yet
    // begun is not made. Never reaches a client that is being released.
    // Never throws.
    void AbortRequest();
    void Terminate() { terminated_ = true; }
    bool Terminated() const { return terminated_; }

    // Copies of the reader's settings and the results (written by the worker).
    const std::string URL;
    const std::string RequestKey;
    std::string Content;
    bool Success = false;
    const int32_t TimeOut;
    const int32_t ProxyPort;
    const std::string ProxyServer;
    const int32_t MsgWorkBegin, MsgWorkEnd;
    const TWindowHandle NotifyWindow;
    const int32_t MsgWork;
    const std::string TargetFile;
    int32_t ResumeOffset = 0;
    int64_t MaxFileSize = -1;  // set before Resume
    bool SizePassed = false;
    bool InRequest() const { return inRequest_; }

    // Live workers, for tests that wait for every worker to end.
    static int LiveCount();

private:
    THttpClientThread(const std::string& requestKey, const std::string& url, int32_t timeOut, int32_t proxyPort,
                      const std::string& proxyServer, TWindowHandle notifyWindow, int32_t msgWorkBegin,
                      int32_t msgWork, int32_t msgWorkEnd, const std::string& targetFile,
                      TReadProcedure procedure);
    void Execute();
    static void ThreadMain(std::shared_ptr<THttpClientThread> self);

    const TReadProcedure procedure_;
    std::mutex httpLock_;  // guards Http against AbortRequest
    TIdHTTP* Http = nullptr;
    std::atomic<bool> inRequest_{false};
    bool abortRequested_ = false;  // guarded by httpLock_
    std::atomic<bool> terminated_{false};
    std::shared_ptr<THttpClientThread> self_;  // the worker's hold on itself
};

// One worker's results, owned by the results store until a reader takes them.
class TThreadResults {
public:
    std::string Content;
    std::string RequestKey;
    bool Success = false;
    bool SizePassed = false;
};

// The process-wide store of results by request key (keys compared without
// regard to case). Touched only on the main thread, so it has no lock.
class TResultsStore {
public:
    void Add(const std::string& key, std::unique_ptr<TThreadResults> record);  // replaces
    TThreadResults* Find(const std::string& key) const;  // nullptr when absent
    void Remove(const std::string& key);  // releases the record
    size_t Count() const { return map_.size(); }

private:
    struct TNoCase {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    std::map<std::string, std::unique_ptr<TThreadResults>, TNoCase> map_;
};
TResultsStore& ResultsStore();
