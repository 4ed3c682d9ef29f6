// The HTTP client against the loopback site: what goes on the wire, and each
// of its decision and body rules over real sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "tools/fakesite/FakeSite.h"
#include "web/HttpClient.h"

using fakesite::TFault;
using fakesite::TSite;

namespace {

// A client set up the way the web reader sets it up.
struct TClient : TIdHTTP {
    TClient() {
        ReadTimeout = 3000;
        HandleRedirects = true;
        Request.ContentType = "binary/octet-stream";
    }
};

struct TEvents {
    std::vector<std::string> log;  // "B n", "W n", "E"
    void Attach(TIdHTTP& http) {
        http.OnWorkBegin = [this](TIdHTTP&, TWorkMode m, int64_t n) {
            if (m == wmRead) log.push_back("B " + std::to_string(n));
        };
        http.OnWork = [this](TIdHTTP&, TWorkMode m, int64_t n) {
            if (m == wmRead) log.push_back("W " + std::to_string(n));
        };
        http.OnWorkEnd = [this](TIdHTTP&, TWorkMode m) {
            if (m == wmRead) log.push_back("E");
        };
    }
    int Count(char kind) const {
        int n = 0;
        for (auto& e : log) n += e[0] == kind;
        return n;
    }
};

class HttpClient : public ::testing::Test {
protected:
    void SetUp() override {
        site.SetBody("/data", body);
        site.Start();
    }
    TFault Fault(const std::string& text) { return fakesite::ParseFault(text); }
    TFault Raw(const std::string& bytes) {
        TFault f;
        f.raw = bytes;
        return f;
    }
    TSite site;
    std::string body = std::string(100000, 'a') + "tail";
};

TEST_F(HttpClient, RequestIsExactOnTheWire) {
    TClient http;
    http.Request.ContentRangeStart = 67232;
    std::string url = "Http://127.0.0.1:" + std::to_string(site.Port()) + "/updates/x.UPD?a=1#part";
    site.SetBody("/updates/x.UPD", "catalogue");
    http.Request.ContentRangeStart = 0;
    EXPECT_EQ(http.Get(url), "catalogue");
    std::string host = "127.0.0.1:" + std::to_string(site.Port());
    EXPECT_EQ(site.Requests().at(0).head,
              "GET /updates/x.UPD?a=1 HTTP/1.1\r\n"
              "Content-Type: binary/octet-stream\r\n"
              "Host: " + host + "\r\n"
              "Accept: text/html, */*\r\n"
              "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
              "\r\n");

    TClient ranged;
    ranged.Request.ContentRangeStart = 67232;
    TStringStream out;
    ranged.Get(site.Url("/data"), out);
    EXPECT_EQ(site.Requests().at(1).head,
              "GET /data HTTP/1.1\r\n"
              "Content-Type: binary/octet-stream\r\n"
              "Host: " + host + "\r\n"
              "Accept: text/html, */*\r\n"
              "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
              "Range: bytes=67232-\r\n"
              "\r\n");
    EXPECT_EQ(out.DataString(), body.substr(67232));
}

TEST_F(HttpClient, ProxyGetsTheAbsoluteTargetWithThePortWritten) {
    TClient http;
    http.ProxyServer = "127.0.0.1";
    http.ProxyPort = site.Port();
    site.SetBody("/updates/x.UPD", "via proxy");
    // The host does not resolve: only the proxy is ever connected to.
    EXPECT_EQ(http.Get("Http://site.invalid/updates/x.UPD?a=1"), "via proxy");
    EXPECT_EQ(site.Requests().at(0).head,
              "GET Http://site.invalid:80/updates/x.UPD?a=1 HTTP/1.1\r\n"
              "Content-Type: binary/octet-stream\r\n"
              "Host: site.invalid\r\n"
              "Accept: text/html, */*\r\n"
              "User-Agent: Mozilla/3.0 (compatible; Indy Library)\r\n"
              "\r\n");
}

TEST(HttpUrl, SplitsAndRejects) {
    auto u = TIdHTTP::ParseUrl("Http://user:pw@site:8080/a/b/doc.UPD?x=1&y=2#frag");
    EXPECT_EQ(u.Scheme, "Http");
    EXPECT_EQ(u.User, "user");
    EXPECT_EQ(u.Host, "site");
    EXPECT_EQ(u.Port, "8080");
    EXPECT_EQ(u.Path + u.Document + u.Query, "/a/b/doc.UPD?x=1&y=2");
    EXPECT_EQ(u.Fragment, "#frag");
    EXPECT_EQ(TIdHTTP::ParseUrl("site").Path, "/");
    EXPECT_EQ(TIdHTTP::ParseUrl("site").PortNumber, 80);
    EXPECT_EQ(TIdHTTP::ParseUrl("HTTPS://site/").PortNumber, 443);
    EXPECT_EQ(TIdHTTP::ParseUrl("ftp://site:21/").PortNumber, 21);
    u = TIdHTTP::ParseUrl("site:82/next?u=http://x/y");
    EXPECT_EQ(u.Host, "site");
    EXPECT_EQ(u.Path + u.Document + u.Query, "/next?u=http://x/y");
    for (const char* bad : {"ftp://site/x", "http://:80/", "http://site:0/", "http://site:99999/", "http://site:8o/"})
        EXPECT_THROW(TIdHTTP::ParseUrl(bad), EHttpError) << bad;
}

TEST(HttpUrl, ResolvesLocations) {
    auto base = TIdHTTP::ParseUrl("http://site:81/a/b/doc?q=1");
    struct {
        const char* location;
        const char* expected;
    } cases[] = {
        {"http://other/x", "http://other/x"},
        {"//other/x", "http://other/x"},
        {"/root?z", "http://site:81/root?z"},
        {"sib", "http://site:81/a/b/sib"},
        {"../up/./x", "http://site:81/a/up/x"},
        {"../../../x", "http://site:81/x"},
        {"?only", "http://site:81/a/b/doc?only"},
        {" /a b?c d ", "http://site:81/a%20b?c%20d"},
        // Another address in the query or the fragment leaves it relative.
        {"/next?u=http://x/y", "http://site:81/next?u=http://x/y"},
        {"sib?u=ftp://x", "http://site:81/a/b/sib?u=ftp://x"},
        {"?u=http://x", "http://site:81/a/b/doc?u=http://x"},
        {"://x/y", "http://site:81/a/b/://x/y"},
    };
    for (auto& c : cases) EXPECT_EQ(TIdHTTP::ResolveLocation(base, c.location), c.expected) << c.location;
    // A control byte would reach the request line.
    for (const char* bad : {"/a\rX-Injected: 1", "/a\nX: 1", "/a\tb", "/a\x01", "/a\x7f", "http://x\x1f/"})
        EXPECT_THROW(TIdHTTP::ResolveLocation(base, bad), EHttpError) << bad;
}

TEST(HttpHeaders, LongLinesFoldAtBlanksAndCommas) {
    std::string shortLine = "Cookie: a=1; b=2";
    EXPECT_EQ(TIdHTTP::FoldHeaderLine(shortLine), shortLine);
    std::string line = "Cookie: ";
    for (int i = 0; i < 300; ++i) line += "k" + std::to_string(i) + "=v; ";
    line.pop_back();
    std::string folded = TIdHTTP::FoldHeaderLine(line);
    size_t pos = 0;
    int pieces = 0;
    std::string joined;
    while (pos < folded.size()) {
        size_t e = folded.find("\r\n", pos);
        if (e == std::string::npos) e = folded.size();
        std::string piece = folded.substr(pos, e - pos);
        EXPECT_LE(piece.size(), 1024u);
        EXPECT_NE(piece.back(), ' ');
        if (pieces++) {
            EXPECT_EQ(piece[0], ' ');
            EXPECT_NE(piece[1], ' ');
        }
        joined += piece;
        pos = e + 2;
    }
    EXPECT_GT(pieces, 2);
    // Unfolding (each continuation's space stands for the break) restores the value.
    std::string unfolded = line;
    unfolded.erase(std::remove(unfolded.begin(), unfolded.end(), ' '), unfolded.end());
    joined.erase(std::remove(joined.begin(), joined.end(), ' '), joined.end());
    EXPECT_EQ(joined, unfolded);

    // Runs of blanks and tabs at a break vanish; no break in reach: unfolded.
    std::string blanks = "Cookie: " + std::string(1010, 'a') + " \t \t" + std::string(20, 'b') + ",\t " + std::string(1100, 'c');
    EXPECT_EQ(TIdHTTP::FoldHeaderLine(blanks),
              "Cookie: " + std::string(1010, 'a') + "\r\n " + std::string(20, 'b') + ",\r\n " + std::string(1100, 'c'));
    std::string solid = std::string(1500, 'x') + " y";
    EXPECT_EQ(TIdHTTP::FoldHeaderLine(solid), solid);
}

// Outcome of one fetch of /data with faults set up by the case.
struct TCase {
    const char* name;
    const char* faults;  // fault on /data; "" for none
    const char* raw;   // raw answer instead, or nullptr
    const char* expectBody;  // nullptr: the whole body; "" etc.: exactly this
    const char* expectError;  // message, or nullptr for success
    int expectCode;  // protocol error code, 0 for none
};

TEST_F(HttpClient, DecisionAndBodyRules) {
    const std::string shortBody = body.substr(0, 5000);
    TCase cases[] = {
        {"plain 200", "", nullptr, nullptr, nullptr, 0},
        {"chunked", "chunked=7000", nullptr, nullptr, nullptr, 0},
        {"until close", "no-length", nullptr, nullptr, nullptr, 0},
        {"cut short is not an error", "cut=5000", nullptr, "short", nullptr, 0},
        {"cut inside a chunk fails", "chunked=7000,cut=5000", nullptr, nullptr, "Connection closed gracefully.", 0},
        {"404", "status=404", nullptr, nullptr, "HTTP/1.1 404 Not Found", 404},
        {"304 is an error", "status=304", nullptr, nullptr, "HTTP/1.1 304 Not Modified", 304},
        {"401 unanswered", "status=401", nullptr, nullptr, "HTTP/1.1 401 Unauthorized", 401},
        {"407 unanswered", "status=407", nullptr, nullptr, "HTTP/1.1 407 Proxy Authentication Required", 407},
        {"204 has no body", nullptr, "HTTP/1.1 204 No Content\r\n\r\n", "", nullptr, 0},
        {"100 is skipped", nullptr, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", "hi",
         nullptr, 0},
        {"non-numeric length reads to close", nullptr, "HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\nall of it", "all of it",
         nullptr, 0},
        {"length 0 wins over close", nullptr, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nignored", "", nullptr, 0},
        {"chunk extension and trailer", nullptr,
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=1\r\nabc\r\n2\r\nde\r\n0\r\nT: 1\r\n\r\n", "abcde",
         nullptr, 0},
        {"Chunked in other case is not chunked", nullptr,
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", "3\r\nabc\r\n0\r\n\r\n", nullptr, 0},
        {"status line without a code", nullptr, "HTTP/1.1 OK\r\nContent-Length: 1\r\n\r\nx", nullptr, "HTTP/1.1 OK", -1},
        {"line at the limit", "long-line=16370", nullptr, nullptr, nullptr, 0},
        {"line over the limit", "long-line=16400", nullptr, nullptr, "Max line length exceeded.", 0},
        {"silence", "stall", nullptr, nullptr, "Read Timeout", 0},
        {"silence mid-body", "stall-after=40000", nullptr, nullptr, "Read Timeout", 0},
        {"reset", "reset", nullptr, nullptr, "*", 0},
        {"closed before an answer", "hang-up", nullptr, nullptr, "Connection closed gracefully.", 0},
        {"redirect", "location=/elsewhere", nullptr, "moved here", nullptr, 0},
        {"200 with a Location is followed", nullptr, "HTTP/1.1 200 OK\r\nLocation: /elsewhere\r\nContent-Length: 3\r\n\r\nabc",
         "moved here", nullptr, 0},
        {"14 redirects are followed", "redirects=14", nullptr, nullptr, nullptr, 0},
        {"the 15th is not", "redirects=15", nullptr, "", nullptr, 0},
    };
    site.SetBody("/elsewhere", "moved here");
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        site.ClearFaults();
        if (c.raw) {
            site.AddFault("/data", Raw(c.raw));
        } else if (c.faults && *c.faults) {
            site.AddFault("/data", Fault(c.faults));
        }
        TClient http;
        http.ReadTimeout = 500;
        std::string got;
        try {
            got = http.Get(site.Url("/data"));
            EXPECT_EQ(c.expectError, nullptr) << "succeeded with " << got.size() << " bytes";
        } catch (const EHttpProtocolError& e) {
            ASSERT_NE(c.expectError, nullptr) << e.what();
            EXPECT_STREQ(e.what(), c.expectError);
            EXPECT_EQ(e.ErrorCode, c.expectCode);
            continue;
        } catch (const EHttpError& e) {
            ASSERT_NE(c.expectError, nullptr) << e.what();
            if (std::string(c.expectError) != "*") EXPECT_STREQ(e.what(), c.expectError);
            EXPECT_EQ(c.expectCode, 0);
            continue;
        }
        if (!c.expectBody) EXPECT_EQ(got, body);
        else if (std::string(c.expectBody) == "short") EXPECT_EQ(got, shortBody);
        else EXPECT_EQ(got, c.expectBody);
    }
}

TEST_F(HttpClient, ErrorBodyIsKeptInTheError) {
    site.AddFault("/data", Fault("status=503"));
    TClient http;
    try {
        http.Get(site.Url("/data"));
        FAIL() << "no error";
    } catch (const EHttpProtocolError& e) {
        EXPECT_EQ(e.ErrorCode, 503);
        EXPECT_NE(e.ErrorMessage.find("503 Service Unavailable"), std::string::npos);
    }
}

TEST_F(HttpClient, RedirectLimitCountsRequests) {
    site.AddFault("/data", Fault("redirects=20"));
    TClient http;
    EXPECT_EQ(http.Get(site.Url("/data")), "");
    EXPECT_EQ(site.Requests().size(), 15u);
    EXPECT_EQ(site.Requests().back().target, "/data?hop=14");
}

TEST_F(HttpClient, RelativeRedirectCarryingAnAddressIsFollowed) {
    site.SetBody("/next", "next page");
    site.AddFault("/data", Raw("HTTP/1.1 302 Found\r\nLocation: /next?u=http://x/y\r\nContent-Length: 0\r\n\r\n"));
    TClient http;
    EXPECT_EQ(http.Get(site.Url("/data")), "next page");
    ASSERT_EQ(site.Requests().size(), 2u);
    EXPECT_EQ(site.Requests()[1].target, "/next?u=http://x/y");
}

TEST_F(HttpClient, RedirectRewindsTheTargetStream) {
    site.SetBody("/elsewhere", "new");
    site.AddFault("/data", Raw("HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 9\r\n\r\nredirect!"));
    TClient http;
    TStringStream out("prefix");
    out.SetPosition(6);
    http.Get(site.Url("/data"), out);
    EXPECT_EQ(out.DataString(), "prefixnew");
}

TEST_F(HttpClient, KeepAliveReusesAndCloseReconnects) {
    site.SetBody("/elsewhere", "moved here");
    site.AddFault("/data", Fault("location=/elsewhere"));
    {
        TClient http;
        EXPECT_EQ(http.Get(site.Url("/data")), "moved here");
        EXPECT_EQ(site.Connections(), 1);
        EXPECT_TRUE(http.Connected());
    }
    site.ClearFaults();
    site.AddFault("/data", Fault("close,location=/elsewhere"));
    TClient http;
    EXPECT_EQ(http.Get(site.Url("/data")), "moved here");
    EXPECT_EQ(site.Connections(), 3);
    // "Connection: close" on the last answer: closed at the end of the fetch.
    site.AddFault("/elsewhere", Fault("close"));
    EXPECT_EQ(http.Get(site.Url("/elsewhere")), "moved here");
    EXPECT_FALSE(http.Connected());
}

TEST_F(HttpClient, CookiesTravelAcrossRedirects) {
    site.SetBody("/elsewhere", "moved here");
    site.AddFault("/data", Raw("HTTP/1.1 302 Found\r\nSet-Cookie: sid=42; Path=/\r\nSet-cookie2: v=2\r\n"
                               "Location: /elsewhere\r\nContent-Length: 0\r\n\r\n"));
    TClient http;
    EXPECT_EQ(http.Get(site.Url("/data")), "moved here");
    auto reqs = site.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].headers.count("cookie"), 0u);
    EXPECT_EQ(reqs[1].headers["cookie"], "sid=42; v=2");
    TClient fresh;  // cookies live only within one client
    fresh.Get(site.Url("/elsewhere"));
    EXPECT_EQ(site.Requests().back().headers.count("cookie"), 0u);
}

// Only CR LF pairs and printable bytes: nothing a proxy could read as a line end.
bool CleanOnTheWire(const std::string& head) {
    for (size_t i = 0; i < head.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(head[i]);
        if (c == '\r' && i + 1 < head.size() && head[i + 1] == '\n') ++i;
        else if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

TEST_F(HttpClient, ServerBytesNeverSplitARequest) {
    site.AddFault("/data", Raw("HTTP/1.1 302 Found\r\nLocation: /a\rX-Injected: 1\r\nContent-Length: 0\r\n\r\n"));
    TClient http;
    EXPECT_THROW(http.Get(site.Url("/data")), EHttpError);
    EXPECT_EQ(site.Requests().size(), 1u);

    site.ClearFaults();
    site.ClearRequests();
    site.AddFault("/data", Raw("HTTP/1.1 302 Found\r\n"
                               "Set-Cookie: cr=a\rb\r\nSet-Cookie: tab=a\tb\r\nSet-Cookie: del=a\x7f\r\n"
                               "Set-Cookie: ctl\x01=1\r\nSet-Cookie: good=1\r\n"
                               "Location: /a b?c d\r\nContent-Length: 0\r\n\r\n"));
    site.SetBody("/a%20b", "spaced");
    TClient again;
    EXPECT_EQ(again.Get(site.Url("/data")), "spaced");
    auto reqs = site.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[1].head.substr(0, reqs[1].head.find("\r\n")), "GET /a%20b?c%20d HTTP/1.1");
    EXPECT_EQ(reqs[1].headers["cookie"], "good=1");
    for (auto& r : reqs) EXPECT_TRUE(CleanOnTheWire(r.head)) << r.head;

    // An address the utility builds itself is sent exactly as spelled.
    site.ClearRequests();
    TClient own;
    try {
        own.Get(site.Url("/x y"));
    } catch (const EHttpError&) {
    }
    ASSERT_EQ(site.Requests().size(), 1u);
    EXPECT_EQ(site.Requests()[0].head.compare(0, 19, "GET /x y HTTP/1.1\r\n"), 0) << site.Requests()[0].head;
}

TEST_F(HttpClient, CookieStoreIsBounded) {
    // 40 Set-cookie2 lines of 1,800 cookies each: the first 100 are kept.
    std::string flood = "HTTP/1.1 302 Found\r\n";
    const char* digits = "0123456789abcdefghijklmnopqrstuvwxyz";
    auto name = [&](int line, int i) {
        return std::string(1, static_cast<char>('A' + line)) + digits[i / 1296] + digits[i / 36 % 36] + digits[i % 36];
    };
    for (int line = 0; line < 40; ++line) {
        flood += "Set-cookie2: ";
        for (int i = 0; i < 1800; ++i) flood += (i ? "," : "") + name(line, i) + "=1";
        flood += "\r\n";
    }
    flood += "Location: /elsewhere\r\nContent-Length: 0\r\n\r\n";
    site.SetBody("/elsewhere", "moved here");
    site.AddFault("/data", Raw(flood));
    TClient http;
    EXPECT_EQ(http.Get(site.Url("/data")), "moved here");
    std::string expected;
    for (int i = 0; i < 100; ++i) expected += (i ? "; " : "") + name(0, i) + "=1";
    ASSERT_EQ(site.Requests().size(), 2u);
    EXPECT_EQ(site.Requests()[1].headers["cookie"], expected);

    // By bytes too: a cookie over 4096 bytes, and any past 16384 in all, is
    // dropped; a replaced cookie gives its room back.
    site.ClearFaults();
    site.ClearRequests();
    std::string big(4000, 'x');
    std::string answer = "HTTP/1.1 302 Found\r\n";
    for (const char* n : {"b0", "b1", "b2", "b3", "b4"}) answer += "Set-Cookie: " + std::string(n) + "=" + big + "\r\n";
    answer += "Set-Cookie: huge=" + std::string(5000, 'y') + "\r\nSet-Cookie: b0=small\r\nSet-Cookie: s=1\r\n";
    answer += "Location: /elsewhere\r\nContent-Length: 0\r\n\r\n";
    site.AddFault("/data", Raw(answer));
    TClient sized;
    EXPECT_EQ(sized.Get(site.Url("/data")), "moved here");
    // The long Cookie header comes folded: join its continuation lines.
    const std::string head = site.Requests().at(1).head;
    size_t from = head.find("\r\nCookie:");
    ASSERT_NE(from, std::string::npos);
    from += 9;
    std::string cookie;
    for (size_t e; (e = head.find("\r\n", from)) != std::string::npos; from = e + 2) {
        cookie += head.substr(from, e - from);
        if (head[e + 2] != ' ') break;
    }
    cookie.erase(0, cookie.find_first_not_of(' '));
    std::vector<std::string> names;
    for (size_t pos = 0; pos < cookie.size();) {
        size_t eq = cookie.find('=', pos);
        names.push_back(cookie.substr(pos, eq - pos));
        size_t next = cookie.find("; ", eq);
        pos = next == std::string::npos ? cookie.size() : next + 2;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"b1", "b2", "b3", "b0", "s"}));
}

// A connection that answers every read, after a short pause, with one more
// 100 Continue; after ten seconds it closes.
class TEndlessContinue : public THttpConnection {
public:
    void Connect(const std::string&, int, int32_t) override { start_ = std::chrono::steady_clock::now(); }
    int32_t Recv(char* buffer, int32_t count, int32_t) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (std::chrono::steady_clock::now() - start_ > std::chrono::seconds(10)) return 0;
        static const std::string answer = "HTTP/1.1 100 Continue\r\n\r\n";
        int32_t n = std::min(count, static_cast<int32_t>(answer.size()));
        std::copy(answer.begin(), answer.begin() + n, buffer);
        return n;
    }
    void SendAll(const char*, size_t, int32_t) override {}
    bool IsOpen() const override { return true; }
    void Cancel() override {}

private:
    std::chrono::steady_clock::time_point start_;
};

TEST_F(HttpClient, TotalLimitEndsTrickleAndEndlessContinue) {
    // Every byte arrives within the read time-out; the whole would take 6 s.
    site.SetBody("/drip", std::string(30, 'd'));
    site.AddFault("/drip", Fault("slow=200,piece=1"));
    TClient http;
    http.ReadTimeout = 500;
    http.TotalTimeout = 2000;
    auto start = std::chrono::steady_clock::now();
    try {
        http.Get(site.Url("/drip"));
        FAIL() << "no error";
    } catch (const EHttpReadTimeout& e) {
        EXPECT_STREQ(e.what(), "Read Timeout");
    }
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1900));
    EXPECT_LT(took, std::chrono::milliseconds(4000));

    TClient endless;
    endless.ReadTimeout = 500;
    endless.TotalTimeout = 1000;
    endless.ConnectionFactory = [] { return std::make_unique<TEndlessContinue>(); };
    start = std::chrono::steady_clock::now();
    EXPECT_THROW(endless.Get("http://site/"), EHttpReadTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
}

TEST_F(HttpClient, ProgressPerBodyReadAndPerChunk) {
    TEvents plain;
    TClient http;
    plain.Attach(http);
    http.Get(site.Url("/data"));
    ASSERT_GE(plain.log.size(), 3u);
    EXPECT_EQ(plain.log.front(), "B 100004");
    EXPECT_EQ(plain.log[plain.log.size() - 2], "W 100004");
    EXPECT_EQ(plain.log.back(), "E");

    site.AddFault("/data", Fault("chunked=40000"));
    TEvents chunks;
    TClient chunked;
    chunks.Attach(chunked);
    EXPECT_EQ(chunked.Get(site.Url("/data")), body);
    EXPECT_EQ(chunks.Count('B'), 3);
    EXPECT_EQ(chunks.Count('E'), 3);
    EXPECT_EQ(chunks.log.front(), "B 40000");
    // The count starts again for every chunk.
    auto last = std::find(chunks.log.rbegin(), chunks.log.rend(), "B 20004");
    EXPECT_NE(last, chunks.log.rend());

    // A discarded error body raises the events too.
    site.ClearFaults();
    site.AddFault("/data", Fault("status=404"));
    TEvents error;
    TClient failing;
    error.Attach(failing);
    EXPECT_THROW(failing.Get(site.Url("/data")), EHttpProtocolError);
    EXPECT_EQ(error.Count('B'), 1);
    EXPECT_EQ(error.Count('E'), 1);
}

TEST_F(HttpClient, TextReadsAreCapped) {
    TClient http;
    http.MaxTextLength = 50000;
    EXPECT_THROW(http.Get(site.Url("/data")), EHttpError);
    // An announced length alone allocates nothing: a short body still fits.
    site.AddFault("/data", Fault("cut=100"));
    EXPECT_EQ(http.Get(site.Url("/data")), body.substr(0, 100));
}

TEST_F(HttpClient, DisconnectFromAnotherThreadEndsABlockedRead) {
    site.AddFault("/data", Fault("stall-after=1000"));
    TClient http;
    http.ReadTimeout = 20000;
    std::thread aborter([&] {
        site.WaitForRequests(1, 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        http.Disconnect();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(http.Get(site.Url("/data")), EHttpSocketError);
    aborter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_FALSE(http.Connected());
}

// Run with the slow resolver preloaded (its own ctest entry): a lookup of a
// "*.slow" name takes 3 s and answers 127.0.0.1.
class SlowLookup : public HttpClient {
protected:
    void SetUp() override {
        if (!std::getenv("SLOW_RESOLVER_MS")) GTEST_SKIP() << "needs the preloaded slow resolver";
        HttpClient::SetUp();
    }
    std::string Url() const { return "http://name.slow:" + std::to_string(site.Port()) + "/data"; }
};

TEST_F(SlowLookup, CountsAgainstTheConnectTimeOut) {
    struct {
        const char* name;
        int32_t readTimeout;
        int64_t totalTimeout;
        const char* error;  // nullptr: the body arrives
    } cases[] = {
        {"connect limit", 2000, 0, "Connect timed out."},
        {"total limit", 5000, 2000, "Read Timeout"},
        {"room for both", 5000, 0, nullptr},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        TClient http;
        http.ReadTimeout = c.readTimeout;
        http.TotalTimeout = c.totalTimeout;
        auto start = std::chrono::steady_clock::now();
        try {
            EXPECT_EQ(http.Get(Url()), body);
            EXPECT_EQ(c.error, nullptr);
        } catch (const EHttpError& e) {
            ASSERT_NE(c.error, nullptr) << e.what();
            EXPECT_STREQ(e.what(), c.error);
        }
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GT(took, c.error ? 1.9 : 2.9);  // the resolver was the slow one
        EXPECT_LT(took, c.error ? 2.6 : 3.6);
    }
}

TEST_F(SlowLookup, DisconnectEndsIt) {
    TClient http;
    http.ReadTimeout = 20000;
    auto start = std::chrono::steady_clock::now();
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        http.Disconnect();
    });
    try {
        http.Get(Url());
        ADD_FAILURE() << "fetched through a cancelled lookup";
    } catch (const EHttpSocketError& e) {
        EXPECT_STREQ(e.what(), "Connection closed by abort");
    }
    aborter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST(HttpConnect, RefusedAndUnresolvedFail) {
    TSite closed;
    closed.Start();
    int port = closed.Port();
    closed.Stop();  // nothing listens there now
    TClient http;
    EXPECT_THROW(http.Get("http://127.0.0.1:" + std::to_string(port) + "/"), EHttpSocketError);
    EXPECT_THROW(http.Get("http://no-such-host.invalid/"), EHttpSocketError);
    EXPECT_THROW(http.Get("https://127.0.0.1/"), EHttpError);
}

}  // namespace
