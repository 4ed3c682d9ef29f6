#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "web/HttpClient.h"
#include "web/Socket.h"

// The socket runs in event mode: every wait is on its network event and an
// abort event together, so Cancel wakes a blocked read without touching
// the socket handle from another thread.
struct TSocket::TImpl {
    SOCKET s = INVALID_SOCKET;
    WSAEVENT netEvent = WSA_INVALID_EVENT;
    WSAEVENT abortEvent = WSA_INVALID_EVENT;
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

// 1: the socket's event fired, 0: time-out; throws when cancelled.
int WaitFor(WSAEVENT net, WSAEVENT abortEvent, int32_t timeoutMs) {
    WSAEVENT events[2] = {net, abortEvent};
    DWORD r = WSAWaitForMultipleEvents(2, events, FALSE, timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : WSA_INFINITE,
                                       FALSE);
    if (r == WSA_WAIT_EVENT_0 + 1) throw EHttpSocketError("Connection closed by abort");
    if (r == WSA_WAIT_TIMEOUT) return 0;
    if (r != WSA_WAIT_EVENT_0) throw EHttpSocketError(WsaText(WSAGetLastError()));
    return 1;
}

}  // namespace

TSocket::TSocket() : impl_(new TImpl) {
    EnsureWinsock();
    impl_->netEvent = WSACreateEvent();
    impl_->abortEvent = WSACreateEvent();
    if (impl_->netEvent == WSA_INVALID_EVENT || impl_->abortEvent == WSA_INVALID_EVENT) {
        if (impl_->netEvent != WSA_INVALID_EVENT) WSACloseEvent(impl_->netEvent);
        if (impl_->abortEvent != WSA_INVALID_EVENT) WSACloseEvent(impl_->abortEvent);
        throw EHttpSocketError("Socket error: cannot make an event");
    }
}

TSocket::~TSocket() {
    Close();
    WSACloseEvent(impl_->netEvent);
    WSACloseEvent(impl_->abortEvent);
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
        WSAResetEvent(impl_->netEvent);
        if (WSAEventSelect(s, impl_->netEvent, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            lastError = WsaText(WSAGetLastError());
            closesocket(s);
            continue;
        }
        if (connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
            lastError = WsaText(WSAGetLastError());
            closesocket(s);
            continue;
        }
        int err = 0;
        for (;;) {
            ULONGLONG now = GetTickCount64();
            int ready;
            try {
                ready = now < deadline ? WaitFor(impl_->netEvent, impl_->abortEvent, static_cast<int32_t>(deadline - now))
                                       : 0;
            } catch (...) {
                closesocket(s);
                throw;
            }
            if (!ready) {
                closesocket(s);
                throw EHttpConnectTimeout();
            }
            WSANETWORKEVENTS ne;
            if (WSAEnumNetworkEvents(s, impl_->netEvent, &ne) != 0) {
                err = WSAGetLastError();
                break;
            }
            if (ne.lNetworkEvents & FD_CONNECT) {
                err = ne.iErrorCode[FD_CONNECT_BIT];
                break;
            }
        }
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
    bool reset = false;
    for (;;) {
        if (cancelled_) throw EHttpSocketError("Connection closed by abort");
        if (impl_->s == INVALID_SOCKET) throw EHttpSocketError("Not connected");
        int n = recv(impl_->s, buffer, count, 0);
        if (n >= 0) return n;
        int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) throw EHttpSocketError(WsaText(err));
        // Clear a stale signal and try once more before waiting: a recv
        // re-arms the read notification, so nothing that arrives is missed.
        if (!reset) {
            WSAResetEvent(impl_->netEvent);
            reset = true;
            continue;
        }
        reset = false;
        if (!WaitFor(impl_->netEvent, impl_->abortEvent, timeoutMs)) throw EHttpReadTimeout();
    }
}

void TSocket::SendAll(const char* data, size_t count, int32_t timeoutMs) {
    bool reset = false;
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
        if (!reset) {
            WSAResetEvent(impl_->netEvent);
            reset = true;
            continue;
        }
        reset = false;
        if (!WaitFor(impl_->netEvent, impl_->abortEvent, timeoutMs)) throw EHttpReadTimeout();
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
    WSASetEvent(impl_->abortEvent);
}
