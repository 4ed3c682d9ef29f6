#include "web/WebRead.h"

#include <chrono>
#include <climits>
#include <thread>

#include "fileutil/FileHelpers.h"
#include "web/HttpClient.h"
#include "web/HttpClientThread.h"

namespace {

// Main thread only, like the readers themselves.
int32_t g_requestCounter = 0;

std::string NextRequestKey() {
    std::string key = std::to_string(g_requestCounter);
    // Keys only need to differ; wrap rather than overflow after 2^31 reads.
    g_requestCounter = g_requestCounter == INT32_MAX ? 0 : g_requestCounter + 1;
    return key;
}

intptr_t Param(int64_t v) { return static_cast<intptr_t>(v); }

}  // namespace

void RunReadProcedure(const TReadSettings& s, std::string& content, bool& success, int32_t& resumeOffset,
                      std::unique_ptr<TDownloadFileStream>& targetStream, const TReadHooks& hooks) {
    content.clear();
    success = false;
    std::unique_ptr<TIdHTTP> http;
    try {
        http = std::make_unique<TIdHTTP>();
        if (hooks.clientChanged) hooks.clientChanged(http.get());
        http->MaxLineAction = maException;
        http->ReadTimeout = s.TimeOut;
        // A text read (the catalogue, the probes) may take four time-outs in
        // all, so a server that trickles bytes cannot hold it for ever; a
        // download into a file may be slow and has Cancel.
        if (s.TargetFile.empty() && s.TimeOut > 0) http->TotalTimeout = 4 * static_cast<int64_t>(s.TimeOut);
        http->ProxyPort = s.ProxyPort;
        http->ProxyServer = s.ProxyPort > 0 ? s.ProxyServer : std::string();
        http->AllowCookies = true;
        http->HandleRedirects = true;
        http->ProxyBasicAuthentication = false;
        http->Request.BasicAuthentication = false;
        http->Request.ContentLength = -1;
        http->Request.ContentRangeEnd = 0;
        http->Request.ContentRangeStart = 0;
        http->Request.ContentType = "binary/octet-stream";
        http->Request.Accept = "text/html, */*";
        http->Request.UserAgent = "Mozilla/3.0 (compatible; Indy Library)";
        http->HTTPOptions = hoForceEncodeParams;

        if (s.NotifyWindow) {
            TWindowHandle wnd = s.NotifyWindow;
            auto pump = hooks.processMessages;
            if (s.MsgWorkBegin > 0)
                http->OnWorkBegin = [&resumeOffset, wnd, msg = s.MsgWorkBegin, pump](TIdHTTP&, TWorkMode mode, int64_t max) {
                    if (mode != wmRead) return;
                    PostWindowMessage(wnd, msg, static_cast<uintptr_t>(resumeOffset), Param(max + resumeOffset));
                    if (pump) pump();
                };
            if (s.MsgWork > 0)
                http->OnWork = [&resumeOffset, wnd, msg = s.MsgWork, pump](TIdHTTP&, TWorkMode mode, int64_t count) {
                    if (mode != wmRead) return;
                    PostWindowMessage(wnd, msg, 0, Param(count + resumeOffset));
                    if (pump) pump();
                };
            if (s.MsgWorkEnd > 0)
                http->OnWorkEnd = [wnd, msg = s.MsgWorkEnd, pump](TIdHTTP&, TWorkMode mode) {
                    if (mode != wmRead) return;
                    PostWindowMessage(wnd, msg, 0, 0);
                    if (pump) pump();
                };
        }

        if (!s.TargetFile.empty()) {
            int64_t size = TEasyFile::FileSize(s.TargetFile);
            if (size > INT32_MAX) throw EError("File too large to resume: " + s.TargetFile);
            if (size <= ResumeMargin) {
                targetStream = std::make_unique<TDownloadFileStream>(s.TargetFile, fmCreate);
                resumeOffset = 0;
            } else {
                targetStream = std::make_unique<TDownloadFileStream>(s.TargetFile, fmOpenWrite | fmShareExclusive);
                int32_t offset = static_cast<int32_t>(size) - ResumeMargin;
                targetStream->SetPosition(offset);
                resumeOffset = offset;
                http->Request.ContentRangeStart = offset;
            }
            targetStream->Limit = s.MaxFileSize;
            TDownloadFileStream* stream = targetStream.get();
            // The server sent the whole file: it is written from the start,
            // and whatever the old file held beyond it must go.
            http->OnRangeIgnored = [stream, &resumeOffset](TIdHTTP&) {
                stream->TFileStream::SetSize(stream->Position());
                resumeOffset = 0;
            };
        }

        if (hooks.beforeGet) hooks.beforeGet();
        if (!s.TargetFile.empty()) {
            http->Get(s.URL, *targetStream);
            content = s.URL + " contains " + s.TargetFile;
        } else {
            content = http->Get(s.URL);
        }
        success = true;
        if (hooks.afterGet) hooks.afterGet();
    } catch (...) {
        success = false;
    }
    if (targetStream && targetStream->LimitPassed && hooks.sizePassed) hooks.sizePassed();
    if (hooks.clientChanged) hooks.clientChanged(nullptr);
    http.reset();
    try {
        targetStream.reset();
    } catch (...) {
        // The file keeps what was written; a failing close changes nothing.
    }
}

TReadProcedure WorkerReadProcedure() {
    return [](const TReadSettings& s, const TReadHooks& hooks, std::string& content, bool& success,
              int32_t& resumeOffset) {
        std::unique_ptr<TDownloadFileStream> stream;
        RunReadProcedure(s, content, success, resumeOffset, stream, hooks);
    };
}

TWebRead::TWebRead(const std::string& url, int32_t timeOut, int32_t proxyPort, const std::string& proxyServer)
    : URL(url), TimeOut(timeOut), ProxyPort(proxyPort), ProxyServer(proxyServer) {
    InitMainThread();
    RequestKey = NextRequestKey();
}

TWebRead::TWebRead(const std::string& url, int32_t timeOut, int32_t proxyPort, const std::string& proxyServer,
                   TWindowHandle notifyWindow, int32_t msgWorkBegin, int32_t msgWork, int32_t msgWorkEnd,
                   const std::string& targetFile)
    : TWebRead(url, timeOut, proxyPort, proxyServer) {
    NotifyWindow = notifyWindow;
    MsgWorkBegin = msgWorkBegin;
    MsgWork = msgWork;
    MsgWorkEnd = msgWorkEnd;
    TargetFile = targetFile;
}

TWebRead::~TWebRead() {
    try {
        CollectResults();
    } catch (...) {
    }
    if (Threaded && !Done) {
        if (auto worker = Worker.lock()) {
            try {
                worker->AbortRequest();
                worker->Terminate();
            } catch (...) {
            }
        }
    }
}

void TWebRead::PumpMessages() {
    if (pump_) pump_();
    else ProcessMessages();
}

void TWebRead::RunRequest() {
    TReadSettings s{URL,          TimeOut, ProxyPort,  ProxyServer, NotifyWindow,
                    MsgWorkBegin, MsgWork, MsgWorkEnd, TargetFile,  MaxFileSize};
    TReadHooks hooks;
    hooks.processMessages = [this] { PumpMessages(); };
    hooks.sizePassed = [this] { SizePassed = true; };
    RunReadProcedure(s, Content, Success, ResumeOffset, TargetStream, hooks);
}

void TWebRead::StartRead() {
    CheckInternetConnection();  // asked for its side effect (dialling); the read goes ahead either way
    if (!Threaded) {
        RunRequest();
        Done = true;
        return;
    }
    std::shared_ptr<THttpClientThread> worker;
    if (static_cast<int64_t>(MsgWorkBegin) + MsgWork + MsgWorkEnd > 0)
        worker = THttpClientThread::Create(true, RequestKey, URL, TimeOut, ProxyPort, ProxyServer, NotifyWindow,
                                           MsgWorkBegin, MsgWork, MsgWorkEnd, TargetFile, WorkerReadProcedure());
    else
        worker = THttpClientThread::Create(true, RequestKey, URL, TimeOut, ProxyPort, ProxyServer,
                                           WorkerReadProcedure());
    worker->MaxFileSize = MaxFileSize;
    Worker = worker;
    worker->Resume();
}

void TWebRead::Fetch(std::string& content, bool& success, bool threaded, const std::function<void()>& processMessages) {
    pump_ = processMessages;
    Threaded = threaded;
    StartRead();
    if (Threaded) {
        int32_t cycles = 0;
        while (cycles < TimeOut / 1000 + 1 && !IsDone()) {
            for (int i = 0; i < 4; ++i) {
                PumpMessages();
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
            }
            ++cycles;
        }
    }
    if (IsDone()) {
        content = Content;
        success = Success;
    } else {
        content.clear();
        success = false;
        Done = true;
    }
}

void TWebRead::Start(bool threaded) {
    Threaded = threaded;
    StartRead();
}

bool TWebRead::IsDone() {
    if (Done || !Threaded) return Done;
    return CollectResults();
}

bool TWebRead::CollectResults() {
    if (Done) return true;
    TThreadResults* record = ResultsStore().Find(RequestKey);
    Done = record != nullptr;
    if (!record) return false;
    try {
        Content = record->Content;
        Success = record->Success;
        SizePassed = record->SizePassed;
        ResultsStore().Remove(RequestKey);
    } catch (...) {
    }
    return true;
}

int32_t TWebRead::RequestCounter() { return g_requestCounter; }
