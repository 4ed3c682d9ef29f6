#include "web/Socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "web/HttpClient.h"

struct TSocket::TImpl {
    int fd = -1;
    int wake = -1;  // eventfd that Cancel signals
};

namespace {

using Clock = std::chrono::steady_clock;

// 1: fd ready, 0: time-out; throws when cancelled.
int WaitFor(int fd, short events, int wake, int32_t timeoutMs) {
    pollfd p[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    for (;;) {
        int r = poll(p, 2, timeoutMs > 0 ? timeoutMs : -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw EHttpSocketError(std::string("Socket error: ") + std::strerror(errno));
        if (p[1].revents) throw EHttpSocketError("Connection closed by abort");
        return r > 0 ? 1 : 0;
    }
}

}  // namespace

TSocket::TSocket() : impl_(new TImpl) {
    impl_->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->wake < 0) throw EHttpSocketError("Socket error: cannot make an event");
}

TSocket::~TSocket() {
    Close();
    close(impl_->wake);
}

void TSocket::Connect(const std::string& host, int port, int32_t timeoutMs) {
    Close();
    if (cancelled_) throw EHttpSocketError("Connection closed by abort");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0 || !list) throw EHttpSocketError("Host not found: " + host);
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(list, freeaddrinfo);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string lastError = "Connection refused";
    for (addrinfo* a = list; a; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            lastError = std::strerror(errno);
            close(fd);
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        int ready;
        try {
            ready = left > 0 ? WaitFor(fd, POLLOUT, impl_->wake, static_cast<int32_t>(left)) : 0;
        } catch (...) {
            close(fd);
            throw;
        }
        if (!ready) {
            close(fd);
            throw EHttpConnectTimeout();
        }
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            lastError = std::strerror(err);
            close(fd);
            continue;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        impl_->fd = fd;
        return;
    }
    throw EHttpSocketError("Socket error: " + lastError);
}

int32_t TSocket::Recv(char* buffer, int32_t count, int32_t timeoutMs) {
    for (;;) {
        if (cancelled_) throw EHttpSocketError("Connection closed by abort");
        if (impl_->fd < 0) throw EHttpSocketError("Not connected");
        ssize_t n = recv(impl_->fd, buffer, static_cast<size_t>(count), 0);
        if (n >= 0) return static_cast<int32_t>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            throw EHttpSocketError(std::string("Socket error: ") + std::strerror(errno));
        }
        if (!WaitFor(impl_->fd, POLLIN, impl_->wake, timeoutMs)) throw EHttpReadTimeout();
    }
}

void TSocket::SendAll(const char* data, size_t count, int32_t timeoutMs) {
    while (count > 0) {
        if (cancelled_) throw EHttpSocketError("Connection closed by abort");
        if (impl_->fd < 0) throw EHttpSocketError("Not connected");
        ssize_t n = send(impl_->fd, data, count, MSG_NOSIGNAL);
        if (n >= 0) {
            data += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            throw EHttpSocketError(std::string("Socket error: ") + std::strerror(errno));
        if (!WaitFor(impl_->fd, POLLOUT, impl_->wake, timeoutMs)) throw EHttpReadTimeout();
    }
}

void TSocket::Close() {
    if (impl_->fd >= 0) {
        close(impl_->fd);
        impl_->fd = -1;
    }
}

bool TSocket::IsOpen() const { return impl_->fd >= 0 && !cancelled_; }

void TSocket::Cancel() {
    cancelled_ = true;
    uint64_t one = 1;
    if (write(impl_->wake, &one, sizeof one) < 0) { /* already signalled */ }
}
