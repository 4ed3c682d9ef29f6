#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "web/HttpClient.h"
#include "web/Socket.h"

// The socket is non-blocking and every wait is a select on it together with
// a small UDP socket that Cancel sends a datagram to, so Cancel wakes a
// blocked read without touching the connection's handle from another
// thread. (Event-mode waits miss read notifications under Wine.)
struct TSocket::TImpl {
    SOCKET s = INVALID_SOCKET;
    SOCKET wake = INVALID_SOCKET;
    sockaddr_in wakeAddr{};
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

// 1: the socket is ready, 0: time-out; throws when cancelled or on error.
int WaitFor(SOCKET s, SOCKET wake, bool forWrite, int32_t timeoutMs) {
    fd_set r, w, e;
    FD_ZERO(&r);
    FD_ZERO(&w);
    FD_ZERO(&e);
    FD_SET(wake, &r);
    if (forWrite) {
        FD_SET(s, &w);
        FD_SET(s, &e);
    } else {
        FD_SET(s, &r);
    }
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int n = select(0, &r, &w, &e, timeoutMs > 0 ? &tv : nullptr);
    if (n == SOCKET_ERROR) throw EHttpSocketError(WsaText(WSAGetLastError()));
    if (FD_ISSET(wake, &r)) throw EHttpSocketError("Connection closed by abort");
    return n > 0 ? 1 : 0;
}

}  // namespace

TSocket::TSocket() : impl_(new TImpl) {
    EnsureWinsock();
    impl_->wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    impl_->wakeAddr.sin_family = AF_INET;
    impl_->wakeAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof impl_->wakeAddr;
    if (impl_->wake == INVALID_SOCKET ||
        bind(impl_->wake, reinterpret_cast<sockaddr*>(&impl_->wakeAddr), sizeof impl_->wakeAddr) != 0 ||
        getsockname(impl_->wake, reinterpret_cast<sockaddr*>(&impl_->wakeAddr), &len) != 0) {
        if (impl_->wake != INVALID_SOCKET) closesocket(impl_->wake);
        throw EHttpSocketError("Socket error: cannot make the wake-up socket");
    }
}

TSocket::~TSocket() {
    Close();
    closesocket(impl_->wake);
}

void TSocket::Connect(const std::string& host, int port, int32_t timeoutMs) {
    Close();
    if (cancelled_) throw EHttpSocketError("Connection closed by abort");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || !list)
        throw EHttpSocketError("Host not found: " + host);
    struct TFree {
        void operator()(addrinfo* a) const { freeaddrinfo(a); }
    };
    std::unique_ptr<addrinfo, TFree> guard(list);
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    std::string lastError = WsaText(WSAECONNREFUSED);
    for (addrinfo* a = list; a; a = a->ai_next) {
        SOCKET s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
            lastError = WsaText(WSAGetLastError());
            closesocket(s);
            continue;
        }
        ULONGLONG now = GetTickCount64();
        int ready;
        try {
            ready = now < deadline ? WaitFor(s, impl_->wake, true, static_cast<int32_t>(deadline - now)) : 0;
        } catch (...) {
            closesocket(s);
            throw;
        }
        if (!ready) {
            closesocket(s);
            throw EHttpConnectTimeout();
        }
        int err = 0;
        int len = sizeof err;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
        if (err != 0) {
            lastError = WsaText(err);
            closesocket(s);
            continue;
        }
        BOOL one = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        impl_->s = s;
        return;
    }
    throw EHttpSocketError(lastError);
}

int32_t TSocket::Recv(char* buffer, int32_t count, int32_t timeoutMs) {
    for (;;) {
        if (cancelled_) throw EHttpSocketError("Connection closed by abort");
        if (impl_->s == INVALID_SOCKET) throw EHttpSocketError("Not connected");
        int n = recv(impl_->s, buffer, count, 0);
        if (n >= 0) return n;
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) throw EHttpSocketError(WsaText(err));
        if (!WaitFor(impl_->s, impl_->wake, false, timeoutMs)) throw EHttpReadTimeout();
    }
}

void TSocket::SendAll(const char* data, size_t count, int32_t timeoutMs) {
    while (count > 0) {
        if (cancelled_) throw EHttpSocketError("Connection closed by abort");
        if (impl_->s == INVALID_SOCKET) throw EHttpSocketError("Not connected");
        int n = send(impl_->s, data, static_cast<int>(count), 0);
        if (n >= 0) {
            data += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) throw EHttpSocketError(WsaText(err));
        if (!WaitFor(impl_->s, impl_->wake, true, timeoutMs)) throw EHttpReadTimeout();
    }
}

void TSocket::Close() {
    if (impl_->s != INVALID_SOCKET) {
        closesocket(impl_->s);
        impl_->s = INVALID_SOCKET;
    }
}

bool TSocket::IsOpen() const { return impl_->s != INVALID_SOCKET && !cancelled_; }

void TSocket::Cancel() {
    cancelled_ = true;
    char one = 1;
    sendto(impl_->wake, &one, 1, 0, reinterpret_cast<const sockaddr*>(&impl_->wakeAddr), sizeof impl_->wakeAddr);
}
