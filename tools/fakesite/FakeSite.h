#pragma once
// A loopback update site for tests and the demo: an HTTP/1.1 server on
// 127.0.0.1 that serves the probe page, the product home page, catalogues,
// the update module, and any files put in it, with scripted faults.
// Linux only (POSIX sockets, one thread per connection). Windows programs
// under Wine start the fakesite program (Wine runs Linux programs too) and
// script it through its /__fakesite/ control paths.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fakesite {

// The paths served out of the box.
inline constexpr const char* ProbePath = "/probe/";
inline constexpr const char* HomePath = "/";
inline constexpr const char* UpdatesPath = "/updates/";
inline constexpr const char* MirrorPath = "/send/file/184287-IUDF/Stirpello.exe";
inline constexpr const char* FallbackPath = "/stirpelloweb/Updates/Stirpello.exe";

// What goes wrong with one answer. Fields combine; the defaults change nothing.
struct TFault {
    int delayMs = 0;  // wait before answering
    bool stall = false;  // read the request, never answer
    int64_t stallAfter = -1;  // send this many body bytes, then never send more
    int64_t cutAfter = -1;  // send this many body bytes, then close
    bool reset = false;  // answer with a connection reset
    bool hangUp = false;  // close without answering
    int status = 0;  // answer with this status (and a short body) instead
    int redirects = 0;  // a chain of this many 302s before the real answer
    std::string location;  // answer 302 to this Location
    int64_t chunked = 0;  // send the body chunked, in chunks of this size
    bool noLength = false;  // no Content-Length: body, then close
    int longLine = 0;  // add a header line of this many characters
    bool ignoreRange = false;  // answer a Range request with 200 and the whole body
    bool close = false;  // "Connection: close", then close
    int slowMs = 0;  // pause between body pieces
    int64_t pieceSize = 32768;  // body piece size (for slowMs and stallAfter)
    std::string raw;  // send exactly these bytes instead of an answer (then close)
    int times = -1;  // the next N matching requests only; -1: every one
};

// Parses "key=value,key,..." (the keys are the field names above, in the
// command line's spelling: delay, stall, stall-after, cut, reset, hang-up, status,
// redirects, location, chunked, no-length, long-line, ignore-range, close,
// slow, piece, times). Throws std::invalid_argument on bad text.
TFault ParseFault(const std::string& text);

struct TRequest {
    std::string head;  // the request line and headers, byte for byte, with the blank line
    std::string method, target, path;  // path: target without the query
    std::map<std::string, std::string> headers;  // names lower-cased
    int connection = 0;  // serial number of the TCP connection it came on
};

class TSite {
public:
    TSite();
    ~TSite();  // stops
    TSite(const TSite&) = delete;
    TSite& operator=(const TSite&) = delete;

    // Content. A folder of catalogues served under /updates/ (file names
    // matched without regard to case), the update module served under both
    // download paths, and exact bodies at any path (the query is ignored).
    void SetUpdatesDir(const std::string& dir);
    void SetModuleFile(const std::string& path);
    void SetBody(const std::string& path, const std::string& body);
    void SetBodyFile(const std::string& path, const std::string& file);
    // Faults for a path ("*": every path). Several for one path apply in turn.
    void AddFault(const std::string& path, const TFault& fault);
    void ClearFaults();

    // Listens on 127.0.0.1 (port 0: an ephemeral one). Throws std::runtime_error.
    void Start(int port = 0);
    void Stop();  // closes every connection and joins the threads
    int Port() const { return port_; }
    std::string Url(const std::string& path = "/") const;

    std::vector<TRequest> Requests() const;
    void ClearRequests();
    int Connections() const { return connections_; }
    // Waits until at least n requests have arrived; false on time-out.
    bool WaitForRequests(size_t n, int timeoutMs) const;
    // Optional: each request head is appended to this file as it arrives.
    void SetLogFile(const std::string& path);
    // A request for /__fakesite/quit has arrived.
    bool QuitRequested() const { return quit_; }

private:
    struct TConn;
    void AcceptLoop();
    void Serve(int fd, int serial);
    bool Answer(int fd, const TRequest& req);
    bool Control(int fd, const TRequest& req);
    bool TakeFault(const std::string& path, TFault& out);
    bool Body(const std::string& path, std::string& body);
    bool WaitStop(int ms);  // true when stopping
    bool StallUntilGone(int fd);
    bool SendAll(int fd, const char* p, size_t n);

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::string updatesDir_, moduleFile_, logFile_;
    std::map<std::string, std::string> bodies_, bodyFiles_;
    std::map<std::string, std::deque<TFault>> faults_;
    std::vector<TRequest> requests_;
    std::vector<int> open_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
    int listen_ = -1;
    int stopPipe_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> quit_{false};
};

std::string ProbePage();
std::string HomePage();

}  // namespace fakesite
