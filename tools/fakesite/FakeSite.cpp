#include "tools/fakesite/FakeSite.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fakesite {

namespace {

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

int64_t ToInt(const std::string& key, const std::string& v) {
    size_t used = 0;
    long long n = 0;
    try {
        n = std::stoll(v, &used);
    } catch (...) {
        used = 0;
    }
    if (used == 0 || used != v.size()) throw std::invalid_argument("fault " + key + ": not a number: " + v);
    return n;
}

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 407: return "Proxy Authentication Required";
        case 416: return "Range Not Satisfiable";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

// A body held in memory or read from a file piece by piece, so a large
// download does not sit in memory.
struct TBody {
    std::string data;
    std::string file;
    int64_t size = 0;
    bool Slice(int64_t offset, int64_t count, std::string& out) const {
        if (file.empty()) {
            out.assign(data, static_cast<size_t>(offset), static_cast<size_t>(count));
            return true;
        }
        std::ifstream f(file, std::ios::binary);
        if (!f) return false;
        f.seekg(offset);
        out.resize(static_cast<size_t>(count));
        f.read(&out[0], count);
        return f.gcount() == count;
    }
};

bool FileBody(const std::string& file, TBody& body) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return false;
    body.file = file;
    body.size = static_cast<int64_t>(std::filesystem::file_size(file, ec));
    return !ec;
}

}  // namespace

std::string ProbePage() {
    return "<html><head><title>Search</title></head><body>\r\n"
           "<form action=\"/search\" method=\"get\"><input type=\"text\" name=\"q\">"
           "<input type=\"submit\" value=\"Search\"></form>\r\n</body></html>\r\n";
}

std::string HomePage() {
    return "<html><head><title>Stirpello</title></head><body>\r\n"
           "<h1>Stirpello</h1><p>Genealogy Software that reads your family's story.</p>\r\n"
           "</body></html>\r\n";
}

TFault ParseFault(const std::string& text) {
    TFault f;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(',', pos);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty()) continue;
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string val = eq == std::string::npos ? "" : item.substr(eq + 1);
        bool hasVal = eq != std::string::npos;
        auto num = [&] {
            if (!hasVal) throw std::invalid_argument("fault " + key + " needs a value");
            return ToInt(key, val);
        };
        if (key == "delay") f.delayMs = static_cast<int>(num());
        else if (key == "stall") f.stall = true;
        else if (key == "stall-after") f.stallAfter = num();
        else if (key == "cut") f.cutAfter = num();
        else if (key == "reset") f.reset = true;
        else if (key == "hang-up") f.hangUp = true;
        else if (key == "status") f.status = static_cast<int>(num());
        else if (key == "redirects") f.redirects = static_cast<int>(num());
        else if (key == "location") {
            // A Location may hold commas no more than a URL may; take the rest.
            f.location = text.substr(text.find("location=", pos - item.size() - 1) + 9);
            pos = text.size() + 1;
        } else if (key == "chunked") f.chunked = hasVal ? num() : 4096;
        else if (key == "no-length") f.noLength = true;
        else if (key == "long-line") f.longLine = static_cast<int>(num());
        else if (key == "ignore-range") f.ignoreRange = true;
        else if (key == "close") f.close = true;
        else if (key == "slow") f.slowMs = static_cast<int>(num());
        else if (key == "piece") f.pieceSize = num();
        else if (key == "times") f.times = static_cast<int>(num());
        else throw std::invalid_argument("unknown fault: " + key);
    }
    if (f.pieceSize < 1 || f.chunked < 0) throw std::invalid_argument("fault sizes must be positive");
    return f;
}

TSite::TSite() {
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

TSite::~TSite() {
    Stop();
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

void TSite::SetUpdatesDir(const std::string& dir) {
    std::lock_guard<std::mutex> g(lock_);
    updatesDir_ = dir;
}
void TSite::SetModuleFile(const std::string& path) {
    std::lock_guard<std::mutex> g(lock_);
    moduleFile_ = path;
}
void TSite::SetBody(const std::string& path, const std::string& body) {
    std::lock_guard<std::mutex> g(lock_);
    bodies_[path] = body;
}
void TSite::SetBodyFile(const std::string& path, const std::string& file) {
    std::lock_guard<std::mutex> g(lock_);
    bodyFiles_[path] = file;
}
void TSite::AddFault(const std::string& path, const TFault& fault) {
    std::lock_guard<std::mutex> g(lock_);
    faults_[path].push_back(fault);
}
void TSite::ClearFaults() {
    std::lock_guard<std::mutex> g(lock_);
    faults_.clear();
}
void TSite::SetLogFile(const std::string& path) {
    std::lock_guard<std::mutex> g(lock_);
    logFile_ = path;
}

std::string TSite::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<TRequest> TSite::Requests() const {
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

void TSite::ClearRequests() {
    std::lock_guard<std::mutex> g(lock_);
    requests_.clear();
}

bool TSite::WaitForRequests(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

void TSite::Start(int port) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_ < 0) throw std::runtime_error("socket failed");
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_, 64) != 0) {
        close(listen_);
        listen_ = -1;
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    socklen_t len = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

void TSite::Stop() {
    if (listen_ < 0) return;
    stopping_ = true;
    char c = 1;
    if (write(stopPipe_[1], &c, 1) < 0) { /* the flag alone still stops the loops at their next wait */ }
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (int fd : open_) shutdown(fd, SHUT_RDWR);
        threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
    close(listen_);
    listen_ = -1;
}

void TSite::AcceptLoop() {
    int serial = 0;
    for (;;) {
        pollfd p[2] = {{listen_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (stopping_ || (p[1].revents & POLLIN)) return;
        int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ++connections_;
        std::lock_guard<std::mutex> g(lock_);
        open_.push_back(fd);
        threads_.emplace_back([this, fd, s = ++serial] { Serve(fd, s); });
    }
}

bool TSite::WaitStop(int ms) {
    if (ms <= 0) return stopping_;
    pollfd p{stopPipe_[0], POLLIN, 0};
    poll(&p, 1, ms);
    return stopping_;
}

bool TSite::StallUntilGone(int fd) {
    char junk[4096];
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) return false;
        if (stopping_) return false;
        if (p[0].revents) {
            ssize_t n = recv(fd, junk, sizeof junk, 0);
            if (n <= 0) return false;
        }
    }
}

bool TSite::SendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return !stopping_;
}

void TSite::Serve(int fd, int serial) {
    std::string buf;
    char chunk[8192];
    bool keep = true;
    while (keep && !stopping_) {
        size_t end;
        while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
            if (buf.size() > 65536) {
                keep = false;
                break;
            }
            pollfd p[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 && errno != EINTR) keep = false;
            if (stopping_ || !keep) {
                keep = false;
                break;
            }
            if (!p[0].revents) continue;
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                keep = false;
                break;
            }
            buf.append(chunk, static_cast<size_t>(n));
        }
        if (!keep) break;
        TRequest req;
        req.head = buf.substr(0, end + 4);
        buf.erase(0, end + 4);
        req.connection = serial;
        size_t lineEnd = req.head.find("\r\n");
        std::string line = req.head.substr(0, lineEnd);
        size_t s1 = line.find(' '), s2 = line.rfind(' ');
        req.method = line.substr(0, s1);
        req.target = s1 == std::string::npos || s2 <= s1 ? "" : line.substr(s1 + 1, s2 - s1 - 1);
        req.path = req.target.substr(0, req.target.find('?'));
        // An absolute target (through a proxy) names its path after the authority.
        if (req.path.find("://") != std::string::npos) {
            size_t slash = req.path.find('/', req.path.find("://") + 3);
            req.path = slash == std::string::npos ? "/" : req.path.substr(slash);
        }
        size_t pos = lineEnd + 2;
        while (pos < req.head.size()) {
            size_t e = req.head.find("\r\n", pos);
            std::string h = req.head.substr(pos, e - pos);
            pos = e + 2;
            size_t colon = h.find(':');
            if (colon != std::string::npos) req.headers[Lower(h.substr(0, colon))] = Trim(h.substr(colon + 1));
        }
        {
            std::lock_guard<std::mutex> g(lock_);
            requests_.push_back(req);
            if (!logFile_.empty()) {
                std::ofstream log(logFile_, std::ios::app | std::ios::binary);
                log << req.head;
            }
        }
        changed_.notify_all();
        keep = Answer(fd, req);
    }
    std::lock_guard<std::mutex> g(lock_);
    open_.erase(std::remove(open_.begin(), open_.end(), fd), open_.end());
    close(fd);
}

bool TSite::TakeFault(const std::string& path, TFault& out) {
    std::lock_guard<std::mutex> g(lock_);
    for (const std::string& key : {path, std::string("*")}) {
        auto it = faults_.find(key);
        if (it == faults_.end() || it->second.empty()) continue;
        TFault& f = it->second.front();
        out = f;
        if (f.times > 0 && --f.times == 0) it->second.pop_front();
        return true;
    }
    return false;
}

bool TSite::Body(const std::string& path, std::string& body) {
    // Only used for small in-memory answers; files go through TBody.
    std::lock_guard<std::mutex> g(lock_);
    auto it = bodies_.find(path);
    if (it == bodies_.end()) return false;
    body = it->second;
    return true;
}

namespace {

std::string UrlDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

std::string QueryValue(const std::string& target, const std::string& key) {
    size_t q = target.find('?');
    if (q == std::string::npos) return "";
    std::string query = target.substr(q + 1);
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t amp = query.find('&', pos);
        if (amp == std::string::npos) amp = query.size();
        std::string item = query.substr(pos, amp - pos);
        if (item.compare(0, key.size() + 1, key + "=") == 0) return UrlDecode(item.substr(key.size() + 1));
        pos = amp + 1;
    }
    return "";
}

}  // namespace

// Control paths, for test programs that cannot reach the object (Windows
// programs under Wine): /__fakesite/fault?path=P&faults=F, /__fakesite/clear,
// /__fakesite/count (requests so far, this one excluded), /__fakesite/quit.
bool TSite::Control(int fd, const TRequest& req) {
    std::string body = "ok\n";
    int status = 200;
    if (req.path == "/__fakesite/fault") {
        try {
            AddFault(QueryValue(req.target, "path"), ParseFault(QueryValue(req.target, "faults")));
        } catch (const std::exception& e) {
            status = 400;
            body = std::string(e.what()) + "\n";
        }
    } else if (req.path == "/__fakesite/clear") {
        ClearFaults();
    } else if (req.path == "/__fakesite/count") {
        std::lock_guard<std::mutex> g(lock_);
        body = std::to_string(requests_.size() - 1) + "\n";
    } else if (req.path == "/__fakesite/quit") {
        quit_ = true;
    } else {
        status = 404;
        body = "unknown control path\n";
    }
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
                       "\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n";
    SendAll(fd, (head + body).data(), head.size() + body.size());
    return false;
}

bool TSite::Answer(int fd, const TRequest& req) {
    if (req.path.compare(0, 12, "/__fakesite/") == 0) return Control(fd, req);
    TFault f;
    TakeFault(req.path, f);
    if (!f.raw.empty()) {
        SendAll(fd, f.raw.data(), f.raw.size());
        return false;
    }
    if (WaitStop(f.delayMs)) return false;
    if (f.reset) {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        return false;
    }
    if (f.hangUp) return false;
    if (f.stall) {
        StallUntilGone(fd);
        return false;
    }

    int status = 200;
    std::string location;
    if (f.redirects > 0) {
        int hop = 0;
        size_t q = req.target.find("hop=");
        if (q != std::string::npos) hop = std::atoi(req.target.c_str() + q + 4);
        if (hop < f.redirects) {
            status = 302;
            location = req.path + "?hop=" + std::to_string(hop + 1);
        }
    }
    if (status == 200 && !f.location.empty()) {
        status = 302;
        location = f.location;
    }
    if (status == 200 && f.status != 0) status = f.status;

    TBody body;
    std::string type = "text/html";
    if (status == 200) {
        bool found = Body(req.path, body.data);
        std::string file;
        {
            std::lock_guard<std::mutex> g(lock_);
            auto it = bodyFiles_.find(req.path);
            if (!found && it != bodyFiles_.end()) file = it->second;
            if (!found && file.empty() && (req.path == MirrorPath || req.path == FallbackPath)) file = moduleFile_;
            std::string up = UpdatesPath;
            if (!found && file.empty() && !updatesDir_.empty() && req.path.compare(0, up.size(), up) == 0) {
                std::string name = req.path.substr(up.size());
                std::error_code ec;
                if (!name.empty() && name.find('/') == std::string::npos && name != "..") {
                    for (auto& e : std::filesystem::directory_iterator(updatesDir_, ec))
                        if (Lower(e.path().filename().string()) == Lower(name)) file = e.path().string();
                }
            }
        }
        if (found) {
            body.size = static_cast<int64_t>(body.data.size());
        } else if (!file.empty() && FileBody(file, body)) {
            found = true;
        } else if (req.path == ProbePath || req.path == "/probe" || req.path == "/probe.html") {
            body.data = ProbePage();
            found = true;
        } else if (req.path == HomePath || req.path == "/index.html") {
            body.data = HomePage();
            found = true;
        }
        if (found) {
            body.size = body.file.empty() ? static_cast<int64_t>(body.data.size()) : body.size;
            if (!body.file.empty() || req.path.find(".htm") == std::string::npos) type = "application/octet-stream";
            if (req.path == HomePath || req.path == ProbePath || req.path == "/probe" || req.path == "/index.html")
                type = "text/html";
        } else {
            status = 404;
        }
    }
    if (status != 200) {
        body = TBody();
        body.data = "<html><body>" + std::to_string(status) + " " + Reason(status) + "</body></html>\r\n";
        body.size = static_cast<int64_t>(body.data.size());
        type = "text/html";
    }

    int64_t from = 0, to = body.size - 1;
    auto range = req.headers.find("range");
    if (status == 200 && range != req.headers.end() && !f.ignoreRange && range->second.compare(0, 6, "bytes=") == 0) {
        std::string r = range->second.substr(6);
        size_t dash = r.find('-');
        from = std::atoll(r.substr(0, dash).c_str());
        if (dash != std::string::npos && dash + 1 < r.size()) to = std::min(to, static_cast<int64_t>(std::atoll(r.c_str() + dash + 1)));
        if (from >= body.size || from > to) {
            status = 416;
            body = TBody();
            from = 0;
            to = -1;
        } else {
            status = 206;
        }
    }
    int64_t length = to - from + 1;

    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    head += "Server: fakesite\r\n";
    head += "Content-Type: " + type + "\r\n";
    if (status == 206)
        head += "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(to) + "/" + std::to_string(body.size) + "\r\n";
    if (status == 416) head += "Content-Range: bytes */" + std::to_string(body.size) + "\r\n";
    if (!location.empty()) head += "Location: " + location + "\r\n";
    if (f.longLine > 0) head += "X-Long: " + std::string(static_cast<size_t>(f.longLine), 'x') + "\r\n";
    bool keep = !f.close && !f.noLength;
    if (f.chunked > 0) head += "Transfer-Encoding: chunked\r\n";
    else if (!f.noLength) head += "Content-Length: " + std::to_string(length) + "\r\n";
    if (!keep) head += "Connection: close\r\n";
    head += "\r\n";
    if (!SendAll(fd, head.data(), head.size())) return false;

    int64_t sent = 0;
    std::string piece;
    while (sent < length) {
        int64_t n = std::min(length - sent, f.chunked > 0 ? f.chunked : f.pieceSize);
        if (f.cutAfter >= 0 && sent + n > f.cutAfter) n = f.cutAfter - sent;
        if (f.stallAfter >= 0 && sent + n > f.stallAfter) n = f.stallAfter - sent;
        if (n > 0) {
            if (!body.Slice(from + sent, n, piece)) return false;
            if (f.chunked > 0) {
                char size[32];
                snprintf(size, sizeof size, "%llx\r\n", static_cast<unsigned long long>(n));
                piece = size + piece + "\r\n";
            }
            if (!SendAll(fd, piece.data(), piece.size())) return false;
            sent += n;
        }
        if (f.cutAfter >= 0 && sent >= f.cutAfter) return false;
        if (f.stallAfter >= 0 && sent >= f.stallAfter) {
            StallUntilGone(fd);
            return false;
        }
        if (sent < length && WaitStop(f.slowMs)) return false;
    }
    if (f.chunked > 0 && !SendAll(fd, "0\r\n\r\n", 5)) return false;
    return keep;
}

}  // namespace fakesite
