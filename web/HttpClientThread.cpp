#include "web/HttpClientThread.h"

#include <cctype>
#include <thread>

#include "web/HttpClient.h"

namespace {
std::atomic<int> g_live{0};
}

std::shared_ptr<THttpClientThread> THttpClientThread::Create(bool createSuspended, const std::string& requestKey,
                                                             const std::string& url, int32_t timeOut,
                                                             int32_t proxyPort, const std::string& proxyServer,
                                                             TReadProcedure procedure) {
    return Create(createSuspended, requestKey, url, timeOut, proxyPort, proxyServer, nullptr, 0, 0, 0, "",
                  std::move(procedure));
}

std::shared_ptr<THttpClientThread> THttpClientThread::Create(bool createSuspended, const std::string& requestKey,
                                                             const std::string& url, int32_t timeOut,
                                                             int32_t proxyPort, const std::string& proxyServer,
                                                             TWindowHandle notifyWindow, int32_t msgWorkBegin,
                                                             int32_t msgWork, int32_t msgWorkEnd,
                                                             const std::string& targetFile,
                                                             TReadProcedure procedure) {
    std::shared_ptr<THttpClientThread> t(new THttpClientThread(requestKey, url, timeOut, proxyPort, proxyServer,
                                                               notifyWindow, msgWorkBegin, msgWork, msgWorkEnd,
                                                               targetFile, std::move(procedure)));
    t->self_ = t;
    if (!createSuspended) t->Resume();
    return t;
}

THttpClientThread::THttpClientThread(const std::string& requestKey, const std::string& url, int32_t timeOut,
                                     int32_t proxyPort, const std::string& proxyServer, TWindowHandle notifyWindow,
                                     int32_t msgWorkBegin, int32_t msgWork, int32_t msgWorkEnd,
                                     const std::string& targetFile, TReadProcedure procedure)
    : URL(url),
      RequestKey(requestKey),
      TimeOut(timeOut),
      ProxyPort(proxyPort),
      ProxyServer(proxyServer),
      MsgWorkBegin(msgWorkBegin),
      MsgWorkEnd(msgWorkEnd),
      NotifyWindow(notifyWindow),
      MsgWork(msgWork),
      TargetFile(targetFile),
      procedure_(std::move(procedure)) {
    ++g_live;
}

THttpClientThread::~THttpClientThread() {
    std::lock_guard<std::mutex> g(httpLock_);
    if (Http) {
        // Only reached if a client were still held; the procedure releases its own.
        if (inRequest_) {
            inRequest_ = false;
            try {
                if (Http->Connected()) Http->Disconnect();
            } catch (...) {
            }
        }
        Http = nullptr;
    }
    --g_live;
}

int THttpClientThread::LiveCount() { return g_live; }

void THttpClientThread::Resume() {
    PrepareHandOver();
    try {
        std::thread(ThreadMain, shared_from_this()).detach();
    } catch (...) {
        self_.reset();  // never ran: nothing else will release it
        throw;
    }
}

void THttpClientThread::ThreadMain(std::shared_ptr<THttpClientThread> self) {
    self->Execute();
    // The termination hook runs on the main thread; the worker's hold on
    // itself goes there too, so a reader's lookup never sees it half-gone.
    try {
        Synchronize([&self] {
            self->AbortRequest();
            self->self_.reset();
        });
    } catch (...) {
        self->self_.reset();
    }
}

void THttpClientThread::Execute() {
    TReadSettings s{URL,          TimeOut, ProxyPort,  ProxyServer, NotifyWindow,
                    MsgWorkBegin, MsgWork, MsgWorkEnd, TargetFile,  MaxFileSize};
    TReadHooks hooks;  // no message processing on a worker
    hooks.sizePassed = [this] { SizePassed = true; };
    hooks.clientChanged = [this](TIdHTTP* client) {
        std::lock_guard<std::mutex> g(httpLock_);
        Http = client;
    };
    hooks.beforeGet = [this] {
        // A cancel that came while the request was being prepared still counts.
        std::lock_guard<std::mutex> g(httpLock_);
        if (abortRequested_) throw EHttpSocketError("Connection closed by abort");
        inRequest_ = true;
    };
    hooks.afterGet = [this] { inRequest_ = false; };
    if (procedure_) procedure_(s, hooks, Content, Success, ResumeOffset);
    try {
        Synchronize([this] {
            auto record = std::make_unique<TThreadResults>();
            record->Content = Content;
            record->RequestKey = RequestKey;
            record->Success = Success;
            record->SizePassed = SizePassed;
            ResultsStore().Add(RequestKey, std::move(record));
        });
    } catch (...) {
        // The reader then never finds results; it gives up or keeps polling.
    }
    Terminate();
}

void THttpClientThread::AbortRequest() {
    std::lock_guard<std::mutex> g(httpLock_);
    abortRequested_ = true;
    if (inRequest_ && Http) {
        inRequest_ = false;
        try {
            Http->Disconnect();
        } catch (...) {
        }
    }
}

bool TResultsStore::TNoCase::operator()(const std::string& a, const std::string& b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int x = std::tolower(static_cast<unsigned char>(a[i])), y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

void TResultsStore::Add(const std::string& key, std::unique_ptr<TThreadResults> record) {
    map_[key] = std::move(record);
}

TThreadResults* TResultsStore::Find(const std::string& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : it->second.get();
}

void TResultsStore::Remove(const std::string& key) { map_.erase(key); }

TResultsStore& ResultsStore() {
    static TResultsStore store;
    return store;
}
