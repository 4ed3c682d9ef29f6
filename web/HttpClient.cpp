#include "web/HttpClient.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>

#include "web/Socket.h"

namespace {

constexpr int32_t ReadChunk = 32768;
constexpr int32_t RedirectBodyTimeout = 4000;
constexpr int32_t ErrorBodyTimeout = 2000;
constexpr int32_t DefaultConnectTimeout = 120000;
constexpr int MaxHeaderLines = 1000;
constexpr int MaxTrailerLines = 100;
// A discarded body (redirect or error) is read at most this far; the
// connection is then dropped rather than drained.
constexpr int64_t MaxDiscard = 16 * 1024 * 1024;
constexpr size_t MaxErrorBodyKept = 64 * 1024;
constexpr size_t FoldWidth = 1024;
// The cookie store of one fetch: what a site needs across its redirects,
// and no more, so a flood of cookies costs neither time nor memory.
constexpr size_t MaxCookies = 100;
constexpr size_t MaxCookieBytes = 4096;  // one cookie's name and value
constexpr size_t MaxCookieStoreBytes = 16384;

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool SameText(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

// A byte that could end or split a line at some proxy.
bool HasControlByte(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

// Decimal, optionally signed; false when it is not one number.
bool ParseDecimal(const std::string& text, int64_t& out) {
    std::string t = Trim(text);
    size_t i = 0;
    bool neg = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) neg = t[i++] == '-';
    if (i >= t.size() || t.size() - i > 18) return false;
    int64_t v = 0;
    for (; i < t.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(t[i]))) return false;
        v = v * 10 + (t[i] - '0');
    }
    out = neg ? -v : v;
    return true;
}

// The body of a text read: collects bytes up to a cap; sizes are not
// pre-set, so an announced length allocates nothing.
class TTextSink : public TStringStream {
public:
    explicit TTextSink(int64_t cap) : cap_(cap) {}
    int32_t Write(const void* buffer, int32_t count) override {
        if (static_cast<int64_t>(Data().size()) + count > cap_) throw EHttpError("Response too large");
        return TStringStream::Write(buffer, count);
    }
    void SetSize(int64_t) override {}

private:
    int64_t cap_;
};

// Where discarded bodies go: keeps the first bytes (of an error body), counts
// the rest, and gives up past MaxDiscard.
class TDiscardSink : public TStream {
public:
    explicit TDiscardSink(std::string* keep) : keep_(keep) {}
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void* buffer, int32_t count) override {
        total_ += count;
        if (total_ > MaxDiscard) throw EHttpError("Response too large");
        if (keep_ && keep_->size() < MaxErrorBodyKept) {
            size_t n = std::min(static_cast<size_t>(count), MaxErrorBodyKept - keep_->size());
            keep_->append(static_cast<const char*>(buffer), n);
        }
        return count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return total_; }
    void SetSize(int64_t) override {}

private:
    std::string* keep_;
    int64_t total_ = 0;
};

// Where the "://" of an absolute URL stands, or npos: it must follow a
// non-empty scheme and come before any '/', '?' or '#', since a relative
// reference may carry another address in its query.
size_t SchemeSeparator(const std::string& url) {
    size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0 || url.find_first_of("/?#") < sep) return std::string::npos;
    return sep;
}

std::string RemoveDotSegments(const std::string& path) {
    std::vector<std::string> out;
    size_t pos = 0;
    bool trailing = false;
    while (pos <= path.size()) {
        size_t e = path.find('/', pos);
        if (e == std::string::npos) e = path.size();
        std::string seg = path.substr(pos, e - pos);
        trailing = e == path.size() && (seg == "." || seg == "..");
        if (seg == "..") {
            if (out.size() > 1) out.pop_back();
        } else if (seg != ".") {
            out.push_back(seg);
        }
        pos = e + 1;
    }
    std::string r;
    for (size_t i = 0; i < out.size(); ++i) r += (i ? "/" : "") + out[i];
    if (trailing) r += "/";
    if (r.empty() || r[0] != '/') r = "/" + r;
    return r;
}

class TSocketConnection : public THttpConnection {
public:
    void Connect(const std::string& host, int port, int32_t timeoutMs) override { socket_.Connect(host, port, timeoutMs); }
    int32_t Recv(char* buffer, int32_t count, int32_t timeoutMs) override { return socket_.Recv(buffer, count, timeoutMs); }
    void SendAll(const char* data, size_t count, int32_t timeoutMs) override { socket_.SendAll(data, count, timeoutMs); }
    bool IsOpen() const override { return socket_.IsOpen(); }
    void Cancel() override { socket_.Cancel(); }

private:
    TSocket socket_;
};

}  // namespace

std::unique_ptr<THttpConnection> MakeSocketConnection() { return std::make_unique<TSocketConnection>(); }

std::string TIdHTTPResponse::Header(const std::string& name) const {
    for (const auto& h : Headers)
        if (SameText(h.first, name)) return h.second;
    return "";
}

bool TIdHTTPResponse::HasHeader(const std::string& name) const {
    for (const auto& h : Headers)
        if (SameText(h.first, name)) return true;
    return false;
}

TIdHTTP::TIdHTTP() : owner_(std::this_thread::get_id()), inBuf_(ReadChunk) {}

TIdHTTP::~TIdHTTP() { CloseConnection(); }

TIdHTTP::TUrl TIdHTTP::ParseUrl(const std::string& url) {
    TUrl u;
    std::string rest = url;
    size_t sep = SchemeSeparator(rest);
    if (sep != std::string::npos) {
        u.Scheme = rest.substr(0, sep);
        rest = rest.substr(sep + 3);
    } else {
        u.Scheme = "http";
    }
    size_t hash = rest.find('#');
    if (hash != std::string::npos) {
        u.Fragment = rest.substr(hash);
        rest = rest.substr(0, hash);
    }
    size_t authEnd = rest.find_first_of("/?");
    std::string authority = rest.substr(0, authEnd);
    std::string tail = authEnd == std::string::npos ? "" : rest.substr(authEnd);
    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        std::string info = authority.substr(0, at);
        authority = authority.substr(at + 1);
        size_t colon = info.find(':');
        u.User = info.substr(0, colon);
        if (colon != std::string::npos) u.Password = info.substr(colon + 1);
    }
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos) throw EHttpError("Invalid URL: " + url);
        u.Host = authority.substr(1, close - 1);
        if (close + 1 < authority.size() && authority[close + 1] == ':') u.Port = authority.substr(close + 2);
    } else {
        size_t colon = authority.rfind(':');
        u.Host = authority.substr(0, colon);
        if (colon != std::string::npos) u.Port = authority.substr(colon + 1);
    }
    if (u.Host.empty()) throw EHttpError("Invalid URL: " + url);
    size_t q = tail.find('?');
    std::string pathPart = tail.substr(0, q);
    if (q != std::string::npos) u.Query = tail.substr(q);
    if (pathPart.empty()) pathPart = "/";
    size_t slash = pathPart.rfind('/');
    u.Path = pathPart.substr(0, slash + 1);
    u.Document = pathPart.substr(slash + 1);

    std::string scheme = Lower(u.Scheme);
    if (u.Port.empty()) {
        if (scheme == "http") u.Port = "80";
        else if (scheme == "https") u.Port = "443";
        else throw EHttpError("Unknown protocol: " + u.Scheme);
    }
    int64_t port = 0;
    if (!ParseDecimal(u.Port, port) || port < 1 || port > 65535 || !std::isdigit(static_cast<unsigned char>(u.Port[0])))
        throw EHttpError("Invalid port: " + u.Port);
    u.PortNumber = static_cast<int>(port);
    return u;
}

std::string TIdHTTP::ResolveLocation(const TUrl& base, const std::string& location) {
    std::string trimmed = Trim(location);
    // A control byte would reach the request line: the redirect is refused
    // rather than repaired, as nothing sound ever sends one.
    if (HasControlByte(trimmed)) throw EHttpError("Invalid redirect: control character in Location");
    // Blanks are sent as %20, so the request line keeps its three parts.
    std::string loc;
    for (char c : trimmed) {
        if (c == ' ') loc += "%20";
        else loc += c;
    }
    if (SchemeSeparator(loc) != std::string::npos) return loc;
    std::string origin = base.Scheme + "://" + base.Host + ":" + base.Port;
    if (base.Host.find(':') != std::string::npos) origin = base.Scheme + "://[" + base.Host + "]:" + base.Port;
    if (loc.compare(0, 2, "//") == 0) return base.Scheme + ":" + loc;
    if (loc.empty()) return origin + base.Path + base.Document + base.Query;
    if (loc[0] == '?') return origin + base.Path + base.Document + loc;
    size_t q = loc.find('?');
    std::string path = loc.substr(0, q);
    std::string query = q == std::string::npos ? "" : loc.substr(q);
    if (path.empty() || path[0] != '/') path = base.Path + path;
    return origin + RemoveDotSegments(path) + query;
}

std::string TIdHTTP::FoldHeaderLine(const std::string& line) {
    // The rest of the line is line[pos...], after one space on every
    // continuation; it is never copied before it is written out.
    std::string out;
    size_t pos = 0;
    size_t lead = 0;  // 1 on a continuation: the space that begins it
    auto isBreak = [](char c) { return c == ' ' || c == '\t' || c == ','; };
    auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (lead + line.size() - pos > FoldWidth) {
        // The last break within the first FoldWidth characters of the rest.
        size_t cut = std::string::npos;
        for (size_t i = pos + FoldWidth - lead; i-- > pos;) {
            if (isBreak(line[i])) {
                cut = i;
                break;
            }
        }
        // None, or only at the very start: a break at the leading space of a
        // continuation, or before the first character, gains nothing.
        if (cut == std::string::npos || (lead == 0 && cut == pos)) break;
        size_t end = cut + 1;
        while (end > pos && isBlank(line[end - 1])) --end;
        if (lead) out += ' ';
        out.append(line, pos, end - pos);
        out += "\r\n";
        pos = cut + 1;
        while (pos < line.size() && isBlank(line[pos])) ++pos;
        lead = 1;
    }
    if (lead) out += ' ';
    out.append(line, pos, std::string::npos);
    return out;
}

std::string TIdHTTP::BuildRequest(const TUrl& u) const {
    std::string target = u.Path + u.Document + u.Query;
    if (!ProxyServer.empty()) target = u.Scheme + "://" + u.Host + ":" + u.Port + target;
    std::string host = u.Port == "80" ? u.Host : u.Host + ":" + u.Port;
    std::string r = "GET " + target + " HTTP/" + ProtocolVersion + "\r\n";
    auto add = [&r](const std::string& name, const std::string& value) {
        r += FoldHeaderLine(name + ": " + value) + "\r\n";
    };
    if (!Request.ContentType.empty()) add("Content-Type", Request.ContentType);
    if (Request.ContentLength >= 0) add("Content-Length", std::to_string(Request.ContentLength));
    add("Host", host);
    if (!Request.Accept.empty()) add("Accept", Request.Accept);
    if (!Request.UserAgent.empty()) add("User-Agent", Request.UserAgent);
    if (Request.ContentRangeStart != 0) {
        std::string range = "bytes=" + std::to_string(Request.ContentRangeStart) + "-";
        if (Request.ContentRangeEnd != 0) range += std::to_string(Request.ContentRangeEnd);
        add("Range", range);
    }
    std::string cookies = CookieHeaderFor(u.Host);
    if (!cookies.empty()) add("Cookie", cookies);
    return r + "\r\n";
}

std::string TIdHTTP::Get(const std::string& url) {
    TTextSink sink(MaxTextLength);
    DoGet(url, sink, true);
    return std::move(sink.Data());
}

void TIdHTTP::Get(const std::string& url, TStream& target) { DoGet(url, target, false); }

bool TIdHTTP::Connected() const {
    std::lock_guard<std::mutex> g(socketLock_);
    return socket_ && socket_->IsOpen();
}

void TIdHTTP::Disconnect() {
    if (std::this_thread::get_id() == owner_.load()) {
        CloseConnection();
        return;
    }
    std::lock_guard<std::mutex> g(socketLock_);
    aborted_ = true;
    if (socket_) socket_->Cancel();
}

int32_t TIdHTTP::WaitLimit(int32_t timeoutMs) const {
    if (!hasDeadline_) return timeoutMs;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now()).count();
    if (left <= 0) throw EHttpReadTimeout();
    if (timeoutMs > 0 && timeoutMs < left) return timeoutMs;
    return static_cast<int32_t>(std::min<int64_t>(left, INT32_MAX));
}

void TIdHTTP::CheckAbort() const {
    if (aborted_) throw EHttpSocketError("Connection closed by abort");
}

void TIdHTTP::CloseConnection() {
    std::lock_guard<std::mutex> g(socketLock_);
    socket_.reset();
    inPos_ = inEnd_ = 0;
    keepAlive_ = false;
}

void TIdHTTP::ConnectTo(const std::string& host, int port) {
    CloseConnection();
    auto s = ConnectionFactory ? ConnectionFactory() : MakeSocketConnection();
    {
        std::lock_guard<std::mutex> g(socketLock_);
        CheckAbort();
        socket_ = std::move(s);
    }
    int32_t limit = ReadTimeout > 0 ? ReadTimeout : DefaultConnectTimeout;
    int32_t wait = WaitLimit(limit);
    try {
        socket_->Connect(host, port, wait);
    } catch (const EHttpConnectTimeout&) {
        // Cut short by the fetch's total limit: that fails like a read.
        if (wait < limit) throw EHttpReadTimeout();
        throw;
    }
    connectedHost_ = host;
    connectedPort_ = port;
}

bool TIdHTTP::Fill() {
    if (!socket_ || !socket_->IsOpen()) {
        CheckAbort();
        return false;
    }
    int32_t n = socket_->Recv(inBuf_.data(), ReadChunk, WaitLimit(currentTimeout_));
    inPos_ = 0;
    inEnd_ = static_cast<size_t>(n);
    if (n == 0) {
        std::lock_guard<std::mutex> g(socketLock_);
        socket_.reset();  // the peer closed: nothing more will come
    }
    return n > 0;
}

// One line up to LF, the CR before it dropped. False when the connection
// closed before a line ended (line then holds what came).
bool TIdHTTP::ReadLine(std::string& line) {
    line.clear();
    for (;;) {
        if (inPos_ == inEnd_ && !Fill()) return false;
        const char* start = inBuf_.data() + inPos_;
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', inEnd_ - inPos_));
        size_t take = lf ? static_cast<size_t>(lf - start) : inEnd_ - inPos_;
        line.append(start, take);
        inPos_ += take + (lf ? 1 : 0);
        if (lf) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > static_cast<size_t>(MaxLineLength)) {
                if (MaxLineAction == maException) throw EHttpMaxLineLength();
                line.resize(static_cast<size_t>(MaxLineLength));
            }
            return true;
        }
        // Room for a CR that may still come before the LF.
        if (line.size() > static_cast<size_t>(MaxLineLength) + 1) {
            if (MaxLineAction == maException) throw EHttpMaxLineLength();
            line.resize(static_cast<size_t>(MaxLineLength));
            return true;
        }
    }
}

// Reads the status line and headers, skipping 100 answers. False when the
// connection closed before the first byte of a status line.
bool TIdHTTP::ReadHead() {
    for (;;) {
        Response = TIdHTTPResponse();
        std::string line;
        if (!ReadLine(line)) {
            if (line.empty()) return false;
            throw EHttpSocketError("Connection closed gracefully.");
        }
        Response.ResponseText = line;
        size_t b = line.find(' ');
        size_t e = b == std::string::npos ? b : line.find(' ', b + 1);
        int64_t code = -1;
        if (b == std::string::npos || !ParseDecimal(line.substr(b + 1, e == std::string::npos ? e : e - b - 1), code) ||
            code < 0 || code > 999)
            code = -1;
        Response.ResponseCode = static_cast<int>(code);
        for (int n = 0;; ++n) {
            if (n > MaxHeaderLines) throw EHttpError("Too many header lines");
            if (!ReadLine(line) && line.empty()) break;  // closing ends the headers
            if (line.empty()) break;
            if ((line[0] == ' ' || line[0] == '\t') && !Response.Headers.empty()) {
                // A folded header is one line: its whole length counts
                // against the line limit, or continuations grow it without
                // bound.
                auto& h = Response.Headers.back();
                std::string part = Trim(line);
                if (h.first.size() + 2 + h.second.size() + 1 + part.size() > static_cast<size_t>(MaxLineLength)) {
                    if (MaxLineAction == maException) throw EHttpMaxLineLength();
                    continue;
                }
                h.second += ' ';
                h.second += part;
                continue;
            }
            size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            Response.Headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
        }
        if (Response.ResponseCode != 100) return true;
    }
}

void TIdHTTP::StoreCookies(const std::string& host) {
    if (!AllowCookies) return;
    const std::string lowerHost = Lower(host);
    for (const auto& h : Response.Headers) {
        if (!SameText(h.first, "Set-cookie") && !SameText(h.first, "Set-cookie2")) continue;
        // Set-cookie2 may carry several cookies separated by commas; they are
        // taken one at a time, never all copied at once.
        const bool several = SameText(h.first, "Set-cookie2");
        for (size_t from = 0; from <= h.second.size();) {
            size_t end = several ? h.second.find(',', from) : std::string::npos;
            if (end == std::string::npos) end = h.second.size();
            const std::string item = h.second.substr(from, end - from);
            from = end + 1;
            size_t semi = item.find(';');
            std::string pair = Trim(item.substr(0, semi));
            size_t eq = pair.find('=');
            if (eq == std::string::npos || eq == 0) continue;
            TCookie c{lowerHost, Trim(pair.substr(0, eq)), Trim(pair.substr(eq + 1))};
            // It would go back on the wire: a control byte there could split
            // the request at a proxy.
            if (HasControlByte(c.Name) || HasControlByte(c.Value)) continue;
            bool remove = false;
            size_t pos = semi;
            while (pos != std::string::npos && pos < item.size()) {
                size_t next = item.find(';', pos + 1);
                std::string attr = Trim(item.substr(pos + 1, next == std::string::npos ? next : next - pos - 1));
                pos = next;
                size_t aeq = attr.find('=');
                std::string name = Lower(Trim(attr.substr(0, aeq)));
                std::string value = aeq == std::string::npos ? "" : Trim(attr.substr(aeq + 1));
                if (name == "domain" && !value.empty()) {
                    std::string d = Lower(value[0] == '.' ? value.substr(1) : value);
                    const std::string& h2 = lowerHost;
                    // A cookie may only name its own host or a domain above it.
                    if (h2 == d || (h2.size() > d.size() && h2.compare(h2.size() - d.size() - 1, d.size() + 1, "." + d) == 0))
                        c.Domain = d;
                } else if (name == "max-age") {
                    int64_t age = 0;
                    if (ParseDecimal(value, age) && age <= 0) remove = true;
                }
            }
            std::string key = c.Domain + '\0' + c.Name;
            auto found = cookieIndex_.find(key);
            if (found != cookieIndex_.end()) {
                cookieBytes_ -= found->second->Name.size() + found->second->Value.size();
                cookies_.erase(found->second);
                cookieIndex_.erase(found);
            }
            size_t bytes = c.Name.size() + c.Value.size();
            // Over a bound: dropped, and the cookies stored before stay.
            if (remove || bytes > MaxCookieBytes || cookies_.size() >= MaxCookies ||
                cookieBytes_ + bytes > MaxCookieStoreBytes)
                continue;
            cookies_.push_back(std::move(c));
            cookieIndex_.emplace(std::move(key), std::prev(cookies_.end()));
            cookieBytes_ += bytes;
        }
    }
}

std::string TIdHTTP::CookieHeaderFor(const std::string& host) const {
    if (!AllowCookies) return "";
    std::string h = Lower(host);
    std::string out;
    for (const auto& c : cookies_) {
        bool match = h == c.Domain ||
                     (h.size() > c.Domain.size() && h.compare(h.size() - c.Domain.size() - 1, c.Domain.size() + 1, "." + c.Domain) == 0);
        if (match) out += (out.empty() ? "" : "; ") + c.Name + "=" + c.Value;
    }
    return out;
}

// Reads count body bytes into target, raising work events. False when the
// connection closed in an orderly way first; strict makes that an error.
bool TIdHTTP::ReadCount(TStream& target, int64_t count, bool sized, bool strict) {
    int64_t got = 0;
    int64_t pos = 0;
    if (sized) {
        pos = target.Position();
        target.SetSize(pos + count);
        target.SetPosition(pos);
    }
    bool complete = true;
    while (got < count) {
        if (inPos_ == inEnd_ && !Fill()) {
            complete = false;
            break;
        }
        size_t n = std::min(static_cast<int64_t>(inEnd_ - inPos_), count - got);
        target.Write(inBuf_.data() + inPos_, static_cast<int32_t>(n));
        inPos_ += n;
        got += static_cast<int64_t>(n);
        Work(wmRead, got);
    }
    if (sized) {
        int64_t reached = target.Position();
        if (target.GetSize() > reached) target.SetSize(reached);
    }
    if (!complete && strict) throw EHttpSocketError("Connection closed gracefully.");
    return complete;
}

void TIdHTTP::ReadBody(TStream& target, bool sized) {
    int64_t length = -1;
    bool hasLength = Response.HasHeader("Content-Length");
    if (hasLength && (!ParseDecimal(Response.Header("Content-Length"), length) || length < 0)) hasLength = false;
    if (hasLength && length >= 1) {
        WorkBegin(wmRead, length);
        ReadCount(target, length, sized, false);
        WorkEnd(wmRead);
    } else if (Response.Header("Transfer-Encoding").find("chunked") != std::string::npos) {
        std::string line;
        for (;;) {
            if (!ReadLine(line)) throw EHttpSocketError("Connection closed gracefully.");
            // The size ends at a space or at a chunk extension's ';'.
            std::string hex = Trim(line.substr(0, line.find_first_of(" ;")));
            int64_t size = 0;
            if (!hex.empty() && hex.size() <= 15 &&
                hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
                size = std::stoll(hex, nullptr, 16);
            else if (hex.size() > 15 && hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
                throw EHttpError("Invalid chunk size");
            if (size == 0) break;
            WorkBegin(wmRead, size);
            ReadCount(target, size, sized, true);
            WorkEnd(wmRead);
            if (!ReadLine(line)) throw EHttpSocketError("Connection closed gracefully.");
        }
        // The line after the last chunk, and any trailer lines before it.
        for (int n = 0; n < MaxTrailerLines; ++n)
            if (!ReadLine(line) || line.empty()) break;
    } else if (!hasLength) {
        WorkBegin(wmRead, 0);
        int64_t got = 0;
        for (;;) {
            if (inPos_ == inEnd_ && !Fill()) break;
            int32_t n = static_cast<int32_t>(inEnd_ - inPos_);
            target.Write(inBuf_.data() + inPos_, n);
            inPos_ = inEnd_;
            got += n;
            Work(wmRead, got);
        }
        WorkEnd(wmRead);
    }
}

void TIdHTTP::DiscardBody(int32_t timeout, std::string* keep) {
    int32_t saved = currentTimeout_;
    currentTimeout_ = timeout;
    try {
        TDiscardSink sink(keep);
        if (socket_ && socket_->IsOpen()) ReadBody(sink, false);
    } catch (...) {
        // The connection is in an unknown state now: drop it.
        CloseConnection();
    }
    currentTimeout_ = saved;
}

void TIdHTTP::DoGet(const std::string& url, TStream& target, bool toText) {
    owner_ = std::this_thread::get_id();
    currentTimeout_ = ReadTimeout;
    hasDeadline_ = TotalTimeout > 0;
    if (hasDeadline_) deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(TotalTimeout);
    int64_t startPos = toText ? 0 : target.Position();
    std::string current = url;
    int requests = 0;
    try {
        CheckAbort();
        for (;;) {
            TUrl u = ParseUrl(current);
            if (SameText(u.Scheme, "https")) throw EHttpError("Secure connections are not supported: " + current);
            ++requests;
            bool viaProxy = !ProxyServer.empty();
            std::string host = viaProxy ? ProxyServer : u.Host;
            int port = viaProxy ? ProxyPort : u.PortNumber;
            bool reuse = keepAlive_ && socket_ && socket_->IsOpen() && host == connectedHost_ && port == connectedPort_;
            if (!reuse) ConnectTo(host, port);
            std::string request = BuildRequest(u);
            for (int attempt = 0;; ++attempt) {
                try {
                    WorkBegin(wmWrite, static_cast<int64_t>(request.size()));
                    socket_->SendAll(request.data(), request.size(), WaitLimit(currentTimeout_));
                    Work(wmWrite, static_cast<int64_t>(request.size()));
                    WorkEnd(wmWrite);
                    if (ReadHead()) break;
                    throw EHttpSocketError("Connection closed gracefully.");
                } catch (const EHttpSocketError&) {
                    // A kept-alive connection the server has since closed:
                    // one fresh connection, then the error stands.
                    if (!reuse || attempt > 0 || aborted_) throw;
                    ConnectTo(host, port);
                }
            }
            StoreCookies(u.Host);
            keepAlive_ = !SameText(Response.Header("Connection"), "close") &&
                         !SameText(Response.Header("Proxy-Connection"), "close");
            int code = Response.ResponseCode;
            bool redirect = (code / 100 == 3 && code != 304) || Response.HasHeader("Location");
            if (redirect) {
                DiscardBody(RedirectBodyTimeout, nullptr);
                if (!HandleRedirects || requests >= RedirectMaximum) break;
                if (!toText) {
                    target.SetPosition(startPos);
                    target.SetSize(startPos);
                }
                current = ResolveLocation(u, Response.Header("Location"));
                continue;
            }
            if (code / 100 == 2) {
                if (code == 200 && Request.ContentRangeStart != 0 && !toText) {
                    // The range was ignored: the whole body belongs where the
                    // range was counted from, not at the resume offset.
                    target.SetPosition(std::max<int64_t>(0, startPos - Request.ContentRangeStart));
                    if (OnRangeIgnored) OnRangeIgnored(*this);
                }
                if (code != 204) ReadBody(target, !toText);
                break;
            }
            std::string body;
            DiscardBody(ErrorBodyTimeout, &body);
            throw EHttpProtocolError(code, Response.ResponseText, body);
        }
    } catch (...) {
        CloseConnection();
        throw;
    }
    if (!keepAlive_) CloseConnection();
}
