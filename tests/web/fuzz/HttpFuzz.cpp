// Fuzzes the HTTP client's response handling through a scripted connection.
// Input: one flag byte, three read-size bytes, then what the server sends;
// "<EOF>" ends one connection's bytes and the next connection gets the rest.
// Built as http_flood_fuzz, "<*N>c" in the server's bytes stands for the
// byte c N times and "<LN>" for the line after it (to its LF) N times, so
// that a small input makes the megabytes it takes to find a blow-up of
// memory or time; http_fuzz keeps to small inputs and their speed.
// What must hold for any server: nothing crashes, hangs or grows without
// bound, no server byte below 0x20 (or 0x7F) reaches a request except CR LF,
// progress counts stay inside their reads, and a resumed download never
// writes before its resume offset unless the range was ignored.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "web/HttpClient.h"

#ifdef HTTP_FUZZ_REPLAY
#include <sanitizer/allocator_interface.h>
#endif

namespace {

[[noreturn]] void Broken(const char* rule) {
    std::fprintf(stderr, "broken rule: %s\n", rule);
    std::abort();
}

void Require(bool ok, const char* rule) {
    if (!ok) Broken(rule);
}

enum : uint8_t {
    fStream = 1,  // Get into a stream, else into text
    fResume = 2,  // the stream holds a partial file: a Range request
    fProxy = 4,
    fSecondFetch = 8,  // a second fetch on the same client (keep-alive reuse)
    fEndTimesOut = 16,  // a connection's bytes end in a read time-out, not a close
    fShortLines = 32,  // a line limit of 100, so that short inputs reach it
};

#ifdef HTTP_FUZZ_FLOOD
// The most an input expands to: room for a header folded to the line count
// limit with every line at the length limit.
constexpr size_t MaxExpanded = 20 * 1024 * 1024;

// A repeat count "<" kind digits ">" at text[pos]; npos when there is none.
size_t RepeatAt(const std::string& text, size_t pos, char kind, size_t& count) {
    if (text.compare(pos, 2, std::string("<") + kind) != 0) return std::string::npos;
    size_t i = pos + 2;
    count = 0;
    while (i < text.size() && i - pos - 2 < 8 && text[i] >= '0' && text[i] <= '9')
        count = count * 10 + static_cast<size_t>(text[i++] - '0');
    if (i == pos + 2 || i >= text.size() || text[i] != '>') return std::string::npos;
    return i + 1;
}

// Byte repeats within a piece of text.
void AppendBytes(const std::string& text, std::string& out) {
    for (size_t pos = 0; pos < text.size() && out.size() < MaxExpanded;) {
        size_t count = 0;
        size_t after = RepeatAt(text, pos, '*', count);
        if (after != std::string::npos && after < text.size()) {
            out.append(std::min(count, MaxExpanded - out.size()), text[after]);
            pos = after + 1;
        } else {
            out += text[pos++];
        }
    }
}

std::string Expand(const std::string& in) {
    std::string out;
    // Room for all of it at once: growing by doubling would copy megabytes
    // over and over. Pages never written cost nothing.
    if (in.find("<L") != std::string::npos || in.find("<*") != std::string::npos) out.reserve(MaxExpanded);
    for (size_t pos = 0; pos < in.size() && out.size() < MaxExpanded;) {
        size_t count = 0;
        size_t after = RepeatAt(in, pos, 'L', count);
        size_t lf = in.find('\n', after == std::string::npos ? pos : after);
        size_t end = lf == std::string::npos ? in.size() : lf + 1;
        if (after == std::string::npos) {
            AppendBytes(in.substr(pos, end - pos), out);
        } else {
            std::string line;
            AppendBytes(in.substr(after, end - after), line);
            for (size_t i = 0; i < count && !line.empty() && out.size() < MaxExpanded; ++i)
                out.append(line, 0, std::min(line.size(), MaxExpanded - out.size()));
        }
        pos = end;
    }
    return out;
}
#endif

#if defined(HTTP_FUZZ_REPLAY) && defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HTTP_FUZZ_MALLOC_LIMIT 1
#endif
#endif

#ifdef HTTP_FUZZ_MALLOC_LIMIT
// The replay fails as the fuzz smoke's -malloc_limit_mb=64 does: the client
// needs no single allocation that large for any response.
void CheckAllocation(const volatile void*, size_t size) {
    if (size >= 64u * 1024 * 1024) Broken("no allocation of 64 MB or more");
}
void IgnoreFree(const volatile void*) {}
const int mallocLimit = __sanitizer_install_malloc_and_free_hooks(CheckAllocation, IgnoreFree);
#endif

struct TScript {
    std::deque<std::string> segments;  // one per connection, in order
    uint8_t sizes[3] = {0, 0, 0};
    bool endTimesOut = false;
    std::vector<std::string> sent;
};

class TScriptedConnection : public THttpConnection {
public:
    explicit TScriptedConnection(TScript& script) : script_(script) {}
    void Connect(const std::string&, int, int32_t) override {
        if (script_.segments.empty()) throw EHttpSocketError("Connection refused");
        bytes_ = std::move(script_.segments.front());
        script_.segments.pop_front();
        open_ = true;
    }
    int32_t Recv(char* buffer, int32_t count, int32_t) override {
        Require(open_, "read from an open connection only");
        if (cancelled_) throw EHttpSocketError("cancelled");
        if (pos_ == bytes_.size()) {
            if (script_.endTimesOut) throw EHttpReadTimeout();
            return 0;
        }
        size_t want = script_.sizes[reads_++ % 3];
        if (want == 0) want = static_cast<size_t>(count);
        size_t n = std::min({want, static_cast<size_t>(count), bytes_.size() - pos_});
        std::copy(bytes_.data() + pos_, bytes_.data() + pos_ + n, buffer);
        pos_ += n;
        return static_cast<int32_t>(n);
    }
    void SendAll(const char* data, size_t count, int32_t) override {
        Require(open_, "send on an open connection only");
        script_.sent.emplace_back(data, count);
    }
    bool IsOpen() const override { return open_; }
    void Cancel() override { cancelled_ = true; }

private:
    TScript& script_;
    std::string bytes_;
    size_t pos_ = 0;
    unsigned reads_ = 0;
    bool open_ = false;
    bool cancelled_ = false;
};

// Only CR LF line ends and printable bytes (or bytes above 0x7F): nothing a
// proxy could take for the end of a line or of the head.
void CheckRequest(const std::string& r) {
    Require(r.compare(0, 4, "GET ") == 0, "a request starts with GET");
    Require(r.size() >= 4 && r.compare(r.size() - 4, 4, "\r\n\r\n") == 0, "a request ends with an empty line");
    for (size_t i = 0; i < r.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(r[i]);
        if (c == '\r') Require(i + 1 < r.size() && r[i + 1] == '\n', "CR only before LF");
        else if (c == '\n') Require(i > 0 && r[i - 1] == '\r', "LF only after CR");
        else Require(c >= 0x20 && c != 0x7F, "no control byte in a request");
    }
    size_t eol = r.find("\r\n");
    std::string first = r.substr(0, eol);
    Require(first.find(' ', 4) == first.rfind(' '), "the request target holds no blank");
}

// The download target as the reader has it: setting the size does nothing.
class TTarget : public TStringStream {
public:
    using TStringStream::TStringStream;
    void SetSize(int64_t) override {}
    void Truncate(int64_t size) { TStringStream::SetSize(size); }
};

struct TProgress {
    bool inRead = false;
    int64_t expected = 0, last = 0;
    void Attach(TIdHTTP& http) {
        http.OnWorkBegin = [this](TIdHTTP&, TWorkMode m, int64_t n) {
            // A read that failed has no end event; a discarded body's failure
            // is ignored and the next read begins.
            if (m != wmRead) return;
            Require(n >= 0, "expected count is not negative");
            inRead = true;
            expected = n;
            last = 0;
        };
        http.OnWork = [this](TIdHTTP&, TWorkMode m, int64_t n) {
            if (m != wmRead) return;
            Require(inRead, "work inside a body read");
            Require(n > last, "the count grows");
            Require(expected == 0 || n <= expected, "the count stays within the expected");
            last = n;
        };
        http.OnWorkEnd = [this](TIdHTTP&, TWorkMode m) {
            if (m != wmRead) return;
            Require(inRead, "end after begin");
            inRead = false;
        };
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint8_t flags = data[0];
    TScript script;
    for (int i = 0; i < 3; ++i) script.sizes[i] = data[1 + i];
    script.endTimesOut = (flags & fEndTimesOut) != 0;
    std::string server(reinterpret_cast<const char*>(data + 4), size - 4);
#ifdef HTTP_FUZZ_FLOOD
    server = Expand(server);
#endif
    const std::string sep = "<EOF>";
    // One connection: its bytes are moved, not copied (an expanded input
    // is megabytes).
    const bool oneConnection = server.find(sep) == std::string::npos;
    if (oneConnection) script.segments.push_back(std::move(server));
    for (size_t pos = 0; !oneConnection;) {
        size_t e = server.find(sep, pos);
        script.segments.push_back(server.substr(pos, e == std::string::npos ? e : e - pos));
        if (e == std::string::npos) break;
        pos = e + sep.size();
    }

    TIdHTTP http;
    http.ReadTimeout = 7000;
    http.HandleRedirects = true;
    http.Request.ContentType = "binary/octet-stream";
    http.MaxTextLength = 1 << 20;
    if (!(flags & fStream)) http.TotalTimeout = 4 * 7000;  // as the reader sets it for text
    if (flags & fShortLines) http.MaxLineLength = 100;
    if (flags & fProxy) {
        http.ProxyServer = "proxy";
        http.ProxyPort = 8080;
    }
    http.ConnectionFactory = [&script] { return std::make_unique<TScriptedConnection>(script); };
    TProgress progress;
    progress.Attach(http);

    const std::string prefix(flags & fResume ? 40000 : 0, 'P');
    TTarget target(prefix);
    bool rangeIgnored = false;
    if (flags & fResume) http.Request.ContentRangeStart = static_cast<int64_t>(prefix.size());
    http.OnRangeIgnored = [&](TIdHTTP&) {
        rangeIgnored = true;
        target.Truncate(target.Position());
    };
    const char* urls[] = {"http://site/updates/x.UPD?a=1", "http://site:81/second"};
    for (int fetch = 0; fetch < (flags & fSecondFetch ? 2 : 1); ++fetch) {
        try {
            if (flags & fStream) {
                target.SetPosition(static_cast<int64_t>(prefix.size()));
                http.Get(urls[fetch], target);
            } else {
                std::string text = http.Get(urls[fetch]);
                Require(text.size() <= static_cast<size_t>(http.MaxTextLength), "text within its cap");
            }
        } catch (const EHttpError&) {
        }
        progress.inRead = false;  // a failed read ends without its end event
        int code = http.Response.ResponseCode;
        Require(code >= -1 && code <= 999, "status code in range");
    }
    for (const std::string& r : script.sent) CheckRequest(r);
    if ((flags & fStream) && !rangeIgnored)
        Require(target.DataString().compare(0, prefix.size(), prefix) == 0, "nothing written before the resume offset");
    return 0;
}
