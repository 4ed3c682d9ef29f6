#pragma once
// TIdHTTP: the utility's own HTTP/1.1 GET client. One client serves one fetch
// (a GET with its reconnects and redirects) and is then released. Portable:
// the socket layer below it has a Winsock and a POSIX implementation.
#include <atomic>
#include <cstdint>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fileutil/Errors.h"
#include "fileutil/Stream.h"
#include "web/HttpConnection.h"

// Every failure of a fetch. Message texts that callers may match:
// "Connect timed out.", "Read Timeout", "Max line length exceeded.".
class EHttpError : public EError {
public:
    using EError::EError;
};

// A status outside 2xx that is not a redirect. The message is the status line.
class EHttpProtocolError : public EHttpError {
public:
    EHttpProtocolError(int code, const std::string& statusLine, std::string body)
        : EHttpError(statusLine), ErrorCode(code), ErrorMessage(std::move(body)) {}
    int ErrorCode;
    std::string ErrorMessage;  // the error body, as far as it was read
};

class EHttpConnectTimeout : public EHttpError {
public:
    EHttpConnectTimeout() : EHttpError("Connect timed out.") {}
};

class EHttpReadTimeout : public EHttpError {
public:
    EHttpReadTimeout() : EHttpError("Read Timeout") {}
};

class EHttpMaxLineLength : public EHttpError {
public:
    EHttpMaxLineLength() : EHttpError("Max line length exceeded.") {}
};

// Name resolution, refused or reset connections, and reads after Disconnect.
class EHttpSocketError : public EHttpError {
public:
    using EHttpError::EHttpError;
};

enum TWorkMode { wmRead, wmWrite };
enum TIdMaxLineAction { maException, maSplit };

// HTTPOptions bits. Only hoForceEncodeParams is ever set; none of them
// changes a GET.
enum : unsigned { hoInProcessAuth = 1, hoKeepOrigProtocol = 2, hoForceEncodeParams = 4 };

class TIdHTTP;
using TWorkBeginEvent = std::function<void(TIdHTTP& sender, TWorkMode mode, int64_t countMax)>;
using TWorkEvent = std::function<void(TIdHTTP& sender, TWorkMode mode, int64_t count)>;
using TWorkEndEvent = std::function<void(TIdHTTP& sender, TWorkMode mode)>;

struct TIdHTTPRequest {
    std::string Accept = "text/html, */*";
    std::string UserAgent = "Mozilla/3.0 (compatible; Indy Library)";
    std::string ContentType;
    int64_t ContentLength = -1;  // -1: no Content-Length header
    int64_t ContentRangeStart = 0;  // not 0: a Range header
    int64_t ContentRangeEnd = 0;
    bool BasicAuthentication = false;
};

struct TIdHTTPResponse {
    int ResponseCode = -1;
    std::string ResponseText;  // the status line
    std::vector<std::pair<std::string, std::string>> Headers;  // of the last response
    // The value of the first header of that name (case-insensitive), or "".
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

class TIdHTTP {
public:
    TIdHTTP();
    ~TIdHTTP();  // closes the connection
    TIdHTTP(const TIdHTTP&) = delete;
    TIdHTTP& operator=(const TIdHTTP&) = delete;

    // Settings; the web reader sets all but ProtocolVersion and RedirectMaximum.
    std::string ProtocolVersion = "1.1";
    int32_t ReadTimeout = 0;  // ms; also the connect limit, name lookup included (0: reads unbounded, connects 120000)
    std::string ProxyServer;  // empty: direct connection
    int32_t ProxyPort = 0;
    bool AllowCookies = true;
    bool HandleRedirects = false;
    int RedirectMaximum = 15;
    TIdMaxLineAction MaxLineAction = maException;
    int32_t MaxLineLength = 16384;
    unsigned HTTPOptions = hoForceEncodeParams;
    bool ProxyBasicAuthentication = false;
    // A body read into text that grows past this fails the fetch, so a server
    // that never ends a body cannot exhaust the process.
    int64_t MaxTextLength = 64 * 1024 * 1024;
    // The longest a whole fetch may take, in ms (0: no limit). Running out
    // fails it with "Read Timeout", however steadily bytes trickle in.
    int64_t TotalTimeout = 0;
    TIdHTTPRequest Request;
    TIdHTTPResponse Response;

    TWorkBeginEvent OnWorkBegin;
    TWorkEvent OnWork;
    TWorkEndEvent OnWorkEnd;
    // Raised when a Range request is answered with the whole body (200): the
    // client then writes that body from the position the range was counted
    // from, and the handler may truncate the target there.
    std::function<void(TIdHTTP& sender)> OnRangeIgnored;
    // Makes each new connection; empty: a real socket. Tests and the fuzz
    // target script the server through it.
    std::function<std::unique_ptr<THttpConnection>()> ConnectionFactory;

    // One fetch. Throws EHttpError (or a subclass) on every failure; a body cut
    // short after its Content-Length was announced, and a redirect chain that
    // hits RedirectMaximum, are not failures.
    std::string Get(const std::string& url);
    // Writes the body into target from target's current position.
    void Get(const std::string& url, TStream& target);

    bool Connected() const;
    // Closes the connection. Safe from another thread: a fetch under way
    // there then fails promptly, and so does every later fetch of this
    // client (a client is aborted only when it is being given up).
    void Disconnect();

    // Splits a URL the way the client reads it. Throws EHttpError.
    struct TUrl {
        std::string Scheme, User, Password, Host, Port, Path, Document, Query, Fragment;
        int PortNumber = 80;
    };
    static TUrl ParseUrl(const std::string& url);
    // Location resolved against the URL it came from.
    static std::string ResolveLocation(const TUrl& base, const std::string& location);
    // Folds a header line longer than 1024 characters at spaces, tabs or commas.
    static std::string FoldHeaderLine(const std::string& line);

private:
    void DoGet(const std::string& url, TStream& target, bool toText);
    void ConnectTo(const std::string& host, int port);
    std::string BuildRequest(const TUrl& url) const;
    bool ReadHead();
    bool ReadLine(std::string& line);
    bool Fill();
    void ReadBody(TStream& target, bool sized);
    void DiscardBody(int32_t timeout, std::string* keep);
    bool ReadCount(TStream& target, int64_t count, bool sized, bool strict);
    void CloseConnection();
    void CheckAbort() const;
    std::string CookieHeaderFor(const std::string& host) const;
    void StoreCookies(const std::string& host);
    void WorkBegin(TWorkMode m, int64_t n) { if (OnWorkBegin) OnWorkBegin(*this, m, n); }
    void Work(TWorkMode m, int64_t n) { if (OnWork) OnWork(*this, m, n); }
    void WorkEnd(TWorkMode m) { if (OnWorkEnd) OnWorkEnd(*this, m); }

    mutable std::mutex socketLock_;  // guards socket_ against Disconnect
    std::unique_ptr<THttpConnection> socket_;
    // The thread of the fetch under way; Disconnect reads it from others.
    std::atomic<std::thread::id> owner_;
    std::atomic<bool> aborted_{false};
    std::string connectedHost_;
    int connectedPort_ = 0;
    bool keepAlive_ = false;
    int32_t currentTimeout_ = 0;
    std::vector<char> inBuf_;
    size_t inPos_ = 0, inEnd_ = 0;
    // Waits at most timeoutMs (0 or less: no limit), and never past the
    // fetch's total limit. Throws EHttpReadTimeout once that has passed.
    int32_t WaitLimit(int32_t timeoutMs) const;
    bool hasDeadline_ = false;
    std::chrono::steady_clock::time_point deadline_;
    struct TCookie {
        std::string Domain, Name, Value;
    };
    // In the order stored, and by domain and name for replacing.
    std::list<TCookie> cookies_;
    std::unordered_map<std::string, std::list<TCookie>::iterator> cookieIndex_;
    size_t cookieBytes_ = 0;
};
