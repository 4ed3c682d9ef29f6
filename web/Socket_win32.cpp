#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "web/HttpClient.h"
#include "web/Socket.h"
#include "web/SocketPlan.h"

// The socket is non-blocking and every wait is a select on it together with
// a small UDP socket that Cancel sends a datagram to, so Cancel wakes a
// blocked read without touching the connection's handle from another
// thread. (Event-mode waits miss read notifications under Wine.) The waits
// also run in slices that check the abort flag, since a datagram can be
// dropped and the wake-up socket may not exist at all.
//
// A read that finds nothing waiting goes on as an overlapped receive waited
// for together with an event that Cancel sets: under Wine that is one more
// call into the server, where a select and a second recv would be two more
// and a poll besides.
struct TSocket::TImpl {
    SOCKET s = INVALID_SOCKET;
    SOCKET wake = INVALID_SOCKET;
    sockaddr_in wakeAddr{};
    HANDLE readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE cancelSet = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~TImpl() {
        if (readDone) CloseHandle(readDone);
        if (cancelSet) CloseHandle(cancelSet);
    }
};

namespace {

class TWinsock {
public:
    TWinsock() {
        WSADATA data;
        ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~TWinsock() {
        if (ok) WSACleanup();
    }
    bool ok = false;
};

void EnsureWinsock() {
    static TWinsock winsock;
    if (!winsock.ok) throw EHttpSocketError("Socket error: Winsock is not available");
}

std::string WsaText(int code) {
    switch (code) {
        case WSAECONNREFUSED: return "Socket Error # 10061 Connection refused.";
        case WSAECONNRESET: return "Socket Error # 10054 Connection reset by peer.";
        case WSAECONNABORTED: return "Socket Error # 10053 Software caused connection abort.";
        case WSAEHOSTUNREACH: return "Socket Error # 10065 No route to host.";
        case WSAENETUNREACH: return "Socket Error # 10051 Network is unreachable.";
        default: return "Socket Error # " + std::to_string(code);
    }
}

void ThrowAbort() { throw EHttpSocketError("Connection closed by abort"); }

// Milliseconds from now until deadline, at most one wait slice.
int32_t SliceUntil(ULONGLONG now, ULONGLONG deadline) {
    return static_cast<int32_t>(std::min<ULONGLONG>(deadline - now, socketplan::WaitSliceMs));
}

// One select of at most sliceMs over the wake-up socket (when there is one)
// and the given sets; throws when cancelled. Returns select's count.
int SelectSlice(fd_set& r, fd_set& w, fd_set& e, SOCKET wake, int32_t sliceMs) {
    if (wake != INVALID_SOCKET) FD_SET(wake, &r);
    timeval tv{sliceMs / 1000, (sliceMs % 1000) * 1000};
    int n = select(0, &r, &w, &e, &tv);
    if (n == SOCKET_ERROR) throw EHttpSocketError(WsaText(WSAGetLastError()));
    if (wake != INVALID_SOCKET && FD_ISSET(wake, &r)) ThrowAbort();
    return n;
}

// 1: the socket is ready, 0: time-out (timeoutMs 0 or less: none); throws
// when cancelled or on error.
int WaitFor(SOCKET s, SOCKET wake, const std::atomic<bool>& cancelled, bool forWrite, int32_t timeoutMs) {
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        if (cancelled) ThrowAbort();
        ULONGLONG now = GetTickCount64();
        if (timeoutMs > 0 && now >= deadline) return 0;
        fd_set r, w, e;
        FD_ZERO(&r);
        FD_ZERO(&w);
        FD_ZERO(&e);
        if (forWrite) {
            FD_SET(s, &w);
            FD_SET(s, &e);
        } else {
            FD_SET(s, &r);
        }
        int32_t slice = timeoutMs > 0 ? SliceUntil(now, deadline) : socketplan::WaitSliceMs;
        if (SelectSlice(r, w, e, wake, slice) > 0) return 1;
    }
}

struct TTarget {
    sockaddr_storage addr{};
    int len = 0;
    int family = 0;
};

void AddTargets(const addrinfo* list, std::vector<TTarget>& out) {
    for (const addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        TTarget t;
        std::memcpy(&t.addr, a->ai_addr, a->ai_addrlen);
        t.len = static_cast<int>(a->ai_addrlen);
        t.family = a->ai_family;
        out.push_back(t);
    }
}

struct TFreeAddrInfo {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

// Appends host's addresses to out; false when there are none.
bool AddAddresses(const std::string& host, int port, int flags, std::vector<TTarget>& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || !list) return false;
    std::unique_ptr<addrinfo, TFreeAddrInfo> guard(list);
    AddTargets(list, out);
    return true;
}

void Resolve(const std::string& host, int port, int flags, std::vector<TTarget>& out) {
    if (!AddAddresses(host, port, flags, out)) throw EHttpSocketError("Host not found: " + host);
}

// The attempts still open; whatever is left is closed on the way out.
struct TAttempts {
    std::vector<SOCKET> open;
    ~TAttempts() {
        for (SOCKET s : open) closesocket(s);
    }
};

// Staggered attempts over targets, the families taking turns; the first to
// connect is returned.
SOCKET ConnectFirst(std::vector<TTarget> targets, SOCKET wake, const std::atomic<bool>& cancelled,
                    int32_t timeoutMs) {
    targets = socketplan::InterleaveFamilies(targets, [](const TTarget& t) { return t.family; });
    ULONGLONG now = GetTickCount64();
    const ULONGLONG deadline = now + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
    ULONGLONG nextStart = now;
    size_t next = 0;
    std::string lastError = WsaText(WSAECONNREFUSED);
    TAttempts attempts;
    // Adding an attempt then allocates nothing, so a socket never sits
    // outside the list when an allocation fails.
    attempts.open.reserve(socketplan::MaxOpenAttempts);
    for (;;) {
        if (cancelled) ThrowAbort();
        now = GetTickCount64();
        if (now >= deadline) throw EHttpConnectTimeout();
        // Start the next address when the last start is a delay old, or at
        // once when nothing is pending; an address that fails on the spot
        // hands over to the next at once.
        while (next < targets.size() && (attempts.open.empty() || now >= nextStart)) {
            if (attempts.open.size() >= socketplan::MaxOpenAttempts) {
                // All stalled: the oldest gives its place to the next
                // address, so a long answer is still tried to its end.
                closesocket(attempts.open.front());
                attempts.open.erase(attempts.open.begin());
            }
            const TTarget& t = targets[next++];
            SOCKET s = socket(t.family, SOCK_STREAM, IPPROTO_TCP);
            if (s == INVALID_SOCKET) {
                lastError = WsaText(WSAGetLastError());
                continue;
            }
            u_long nonBlocking = 1;
            ioctlsocket(s, FIONBIO, &nonBlocking);
            if (connect(s, reinterpret_cast<const sockaddr*>(&t.addr), t.len) != 0 &&
                WSAGetLastError() != WSAEWOULDBLOCK) {
                // Closed before the text is built: building it may throw.
                int err = WSAGetLastError();
                closesocket(s);
                lastError = WsaText(err);
                continue;
            }
            attempts.open.push_back(s);
            nextStart = now + socketplan::AttemptDelayMs;
            break;
        }
        if (attempts.open.empty()) throw EHttpSocketError(lastError);

        ULONGLONG until = deadline;
        if (next < targets.size()) until = std::min(until, nextStart);
        fd_set r, w, e;
        FD_ZERO(&r);
        FD_ZERO(&w);
        FD_ZERO(&e);
        for (SOCKET s : attempts.open) {
            FD_SET(s, &w);
            FD_SET(s, &e);
        }
        if (SelectSlice(r, w, e, wake, SliceUntil(now, std::max(until, now + 1))) <= 0) continue;
        for (size_t i = 0; i < attempts.open.size();) {
            SOCKET s = attempts.open[i];
            if (!FD_ISSET(s, &w) && !FD_ISSET(s, &e)) {
                ++i;
                continue;
            }
            int err = 0;
            int len = sizeof err;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
            if (err == 0 && FD_ISSET(s, &w)) {
                attempts.open.erase(attempts.open.begin() + static_cast<std::ptrdiff_t>(i));
                BOOL one = TRUE;
                setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
                return s;
            }
            closesocket(s);
            attempts.open.erase(attempts.open.begin() + static_cast<std::ptrdiff_t>(i));
            nextStart = now;
            lastError = WsaText(err != 0 ? err : WSAECONNREFUSED);
        }
    }
}

}  // namespace

TSocket::TSocket() : impl_(new TImpl) {
    EnsureWinsock();
    // Without a wake-up socket a cancel is still noticed within a wait slice.
    SOCKET wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (wake == INVALID_SOCKET) return;
    impl_->wakeAddr.sin_family = AF_INET;
    impl_->wakeAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof impl_->wakeAddr;
    // Connected to its own address, it takes datagrams from itself only:
    // another local process cannot abort the connection with one.
    if (bind(wake, reinterpret_cast<sockaddr*>(&impl_->wakeAddr), sizeof impl_->wakeAddr) != 0 ||
        getsockname(wake, reinterpret_cast<sockaddr*>(&impl_->wakeAddr), &len) != 0 ||
        connect(wake, reinterpret_cast<sockaddr*>(&impl_->wakeAddr), sizeof impl_->wakeAddr) != 0) {
        closesocket(wake);
        return;
    }
    impl_->wake = wake;
}

TSocket::TSocket(TNoWake) : impl_(new TImpl) { EnsureWinsock(); }

TSocket::~TSocket() {
    Close();
    if (impl_->wake != INVALID_SOCKET) closesocket(impl_->wake);
}

void TSocket::Connect(const std::string& host, int port, int32_t timeoutMs) {
    Close();
    if (cancelled_) ThrowAbort();
    int32_t left = timeoutMs;
    std::vector<TTarget> targets = socketplan::ConnectTargets<TTarget>(
        host, port, LookUpForTest, AI_NUMERICHOST, AddAddresses, Resolve,
        [](const std::string& name) { throw EHttpSocketError("Host not found: " + name); }, cancelled_, timeoutMs,
        left, [] { throw EHttpConnectTimeout(); }, ThrowAbort);
    impl_->s = ConnectFirst(std::move(targets), impl_->wake, cancelled_, left);
}

void TSocket::ConnectAddresses(const std::vector<std::string>& addresses, int port, int32_t timeoutMs) {
    Close();
    if (cancelled_) ThrowAbort();
    std::vector<TTarget> targets;
    for (const std::string& a : addresses) Resolve(a, port, AI_NUMERICHOST, targets);
    if (targets.empty()) throw EHttpSocketError("Socket error: no address to connect to");
    impl_->s = ConnectFirst(std::move(targets), impl_->wake, cancelled_, timeoutMs);
}

int32_t TSocket::Recv(char* buffer, int32_t count, int32_t timeoutMs) {
    bool overlapped = impl_->readDone && impl_->cancelSet;
    for (;;) {
        if (cancelled_) ThrowAbort();
        if (impl_->s == INVALID_SOCKET) throw EHttpSocketError("Not connected");
        // Bytes already waiting are taken at once: the cheapest call.
        int n = recv(impl_->s, buffer, count, 0);
        if (n >= 0) return n;
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) throw EHttpSocketError(WsaText(err));
        if (overlapped) {
            WSABUF buf{static_cast<ULONG>(count), buffer};
            DWORD got = 0, flags = 0;
            WSAOVERLAPPED ov{};
            ov.hEvent = impl_->readDone;  // reset as the receive starts
            if (WSARecv(impl_->s, &buf, 1, &got, &flags, &ov, nullptr) == 0) return static_cast<int32_t>(got);
            err = WSAGetLastError();
            if (err == WSA_IO_PENDING) return FinishRead(&ov, timeoutMs);
            if (err != WSAEWOULDBLOCK) throw EHttpSocketError(WsaText(err));
            overlapped = false;  // a system that will not queue the receive: select from here on
        }
        if (!WaitFor(impl_->s, impl_->wake, cancelled_, false, timeoutMs)) throw EHttpReadTimeout();
    }
}

int32_t TSocket::FinishRead(void* overlapped, int32_t timeoutMs) {
    auto* ov = static_cast<WSAOVERLAPPED*>(overlapped);
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
    HANDLE waits[2] = {impl_->readDone, impl_->cancelSet};
    bool timedOut = false;
    for (;;) {
        if (cancelled_) break;
        ULONGLONG now = GetTickCount64();
        if (timeoutMs > 0 && now >= deadline) {
            timedOut = true;
            break;
        }
        int32_t slice = timeoutMs > 0 ? SliceUntil(now, deadline) : socketplan::WaitSliceMs;
        DWORD r = WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(slice));
        if (r == WAIT_OBJECT_0) {
            DWORD got = 0, flags = 0;
            if (!WSAGetOverlappedResult(impl_->s, ov, &got, FALSE, &flags))
                throw EHttpSocketError(WsaText(WSAGetLastError()));
            return static_cast<int32_t>(got);
        }
        if (r == WAIT_FAILED) break;
    }
    // The receive must end before its buffer and record go. One that
    // completed as it was cancelled has taken bytes: they are handed over
    // rather than lost, so a timed-out connection can still be read.
    DWORD got = 0, flags = 0;
    CancelIoEx(reinterpret_cast<HANDLE>(impl_->s), ov);
    bool completed = WSAGetOverlappedResult(impl_->s, ov, &got, TRUE, &flags) != FALSE;
    if (timedOut) {
        if (completed) return static_cast<int32_t>(got);
        throw EHttpReadTimeout();
    }
    throw EHttpSocketError("Connection closed by abort");
}

void TSocket::SendAll(const char* data, size_t count, int32_t timeoutMs) {
    while (count > 0) {
        if (cancelled_) ThrowAbort();
        if (impl_->s == INVALID_SOCKET) throw EHttpSocketError("Not connected");
        int n = send(impl_->s, data, static_cast<int>(count), 0);
        if (n >= 0) {
            data += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) throw EHttpSocketError(WsaText(err));
        if (!WaitFor(impl_->s, impl_->wake, cancelled_, true, timeoutMs)) throw EHttpReadTimeout();
    }
}

void TSocket::Close() {
    if (impl_->s != INVALID_SOCKET) {
        closesocket(impl_->s);
        impl_->s = INVALID_SOCKET;
    }
}

int TSocket::WakePortForTest() const {
    return impl_->wake == INVALID_SOCKET ? 0 : ntohs(impl_->wakeAddr.sin_port);
}

bool TSocket::IsOpen() const { return impl_->s != INVALID_SOCKET && !cancelled_; }

void TSocket::Cancel() {
    cancelled_ = true;
    if (impl_->cancelSet) SetEvent(impl_->cancelSet);
    if (impl_->wake == INVALID_SOCKET) return;
    char one = 1;
    send(impl_->wake, &one, 1, 0);
}
