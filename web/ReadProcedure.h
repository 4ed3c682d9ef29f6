#pragma once
// What one web read needs, shared by the reader (web/WebRead) and the worker
// that runs a read for it (web/HttpClientThread): the read's settings, the
// hooks the caller attaches, and the procedure as a callable. The reader
// hands its procedure to the worker, so the worker depends on nothing above it.
#include <cstdint>
#include <functional>
#include <string>

#include "web/MainThread.h"

class TIdHTTP;

struct TReadSettings {
    std::string URL;
    int32_t TimeOut = 0;
    int32_t ProxyPort = 0;
    std::string ProxyServer;
    TWindowHandle NotifyWindow = nullptr;
    int32_t MsgWorkBegin = 0, MsgWork = 0, MsgWorkEnd = 0;
    std::string TargetFile;
    int64_t MaxFileSize = -1;
};

struct TReadHooks {
    std::function<void()> processMessages;  // after each posted progress message
    std::function<void(TIdHTTP*)> clientChanged;  // the client made, then nullptr before its release
    std::function<void()> beforeGet;  // immediately before the GET
    std::function<void()> afterGet;  // the GET and the results succeeded
    std::function<void()> sizePassed;  // the read was stopped at MaxFileSize
};

// One read with the given settings and hooks: fills content and success, and
// sets resumeOffset as the target is opened. Never throws.
using TReadProcedure = std::function<void(const TReadSettings& settings, const TReadHooks& hooks,
                                          std::string& content, bool& success, int32_t& resumeOffset)>;
