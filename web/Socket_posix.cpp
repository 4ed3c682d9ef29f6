#include "web/Socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "web/HttpClient.h"
#include "web/SocketPlan.h"

// Waits poll the socket together with an eventfd that Cancel signals, in
// slices that also check the abort flag, so a cancel is noticed even without
// the eventfd.
struct TSocket::TImpl {
    int fd = -1;
    int wake = -1;  // eventfd that Cancel signals; -1 when none could be made
};

namespace {

using Clock = std::chrono::steady_clock;

void ThrowAbort() { throw EHttpSocketError("Connection closed by abort"); }

// Milliseconds from now until deadline, at most one wait slice.
int SliceUntil(Clock::time_point now, Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, socketplan::WaitSliceMs));
}

// One poll of at most sliceMs over fds and the wake-up eventfd (when there is
// one, it goes last in fds); throws when cancelled. Returns poll's count.
int PollSlice(std::vector<pollfd>& fds, int wake, int sliceMs) {
    if (wake >= 0) fds.push_back({wake, POLLIN, 0});
    int r;
    do {
        r = poll(fds.data(), fds.size(), sliceMs);
    } while (r < 0 && errno == EINTR);
    if (r < 0) throw EHttpSocketError(std::string("Socket error: ") + std::strerror(errno));
    if (wake >= 0) {
        if (fds.back().revents) ThrowAbort();
        fds.pop_back();
    }
    return r;
}

// 1: fd ready, 0: time-out (timeoutMs 0 or less: none); throws when
// cancelled.
int WaitFor(int fd, short events, int wake, const std::atomic<bool>& cancelled, int32_t timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    std::vector<pollfd> fds;
    for (;;) {
        if (cancelled) ThrowAbort();
        auto now = Clock::now();
        if (timeoutMs > 0 && now >= deadline) return 0;
        fds.assign(1, pollfd{fd, events, 0});
        if (PollSlice(fds, wake, timeoutMs > 0 ? SliceUntil(now, deadline) : socketplan::WaitSliceMs) > 0)
            return 1;
    }
}

struct TTarget {
    sockaddr_storage addr{};
    socklen_t len = 0;
    int family = 0;
};

// Appends host's addresses to out; false when there are none.
bool AddAddresses(const std::string& host, int port, int flags, std::vector<TTarget>& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0 || !list) return false;
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(list, freeaddrinfo);
    for (const addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        TTarget t;
        std::memcpy(&t.addr, a->ai_addr, a->ai_addrlen);
        t.len = a->ai_addrlen;
        t.family = a->ai_family;
        out.push_back(t);
    }
    return true;
}

void Resolve(const std::string& host, int port, int flags, std::vector<TTarget>& out) {
    if (!AddAddresses(host, port, flags, out)) throw EHttpSocketError("Host not found: " + host);
}

// The attempts still open; whatever is left is closed on the way out.
struct TAttempts {
    std::vector<int> open;
    ~TAttempts() {
        for (int fd : open) close(fd);
    }
};

// Staggered attempts over targets, the families taking turns; the first to
// connect is returned.
int ConnectFirst(std::vector<TTarget> targets, int wake, const std::atomic<bool>& cancelled, int32_t timeoutMs) {
    targets = socketplan::InterleaveFamilies(targets, [](const TTarget& t) { return t.family; });
    auto now = Clock::now();
    const auto deadline = now + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    auto nextStart = now;
    size_t next = 0;
    std::string lastError = std::strerror(ECONNREFUSED);
    TAttempts attempts;
    // Adding an attempt then allocates nothing, so a socket never sits
    // outside the list when an allocation fails.
    attempts.open.reserve(socketplan::MaxOpenAttempts);
    std::vector<pollfd> fds;
    for (;;) {
        if (cancelled) ThrowAbort();
        now = Clock::now();
        if (now >= deadline) throw EHttpConnectTimeout();
        // Start the next address when the last start is a delay old, or at
        // once when nothing is pending; an address that fails on the spot
        // hands over to the next at once.
        while (next < targets.size() && (attempts.open.empty() || now >= nextStart)) {
            if (attempts.open.size() >= socketplan::MaxOpenAttempts) {
                // All stalled: the oldest gives its place to the next
                // address, so a long answer is still tried to its end.
                close(attempts.open.front());
                attempts.open.erase(attempts.open.begin());
            }
            const TTarget& t = targets[next++];
            int fd = socket(t.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                lastError = std::strerror(errno);
                continue;
            }
            if (connect(fd, reinterpret_cast<const sockaddr*>(&t.addr), t.len) != 0 && errno != EINPROGRESS) {
                // Closed before the text is built: building it may throw.
                int err = errno;
                close(fd);
                lastError = std::strerror(err);
                continue;
            }
            attempts.open.push_back(fd);
            nextStart = now + std::chrono::milliseconds(socketplan::AttemptDelayMs);
            break;
        }
        if (attempts.open.empty()) throw EHttpSocketError("Socket error: " + lastError);

        auto until = deadline;
        if (next < targets.size()) until = std::min(until, nextStart);
        fds.clear();
        for (int fd : attempts.open) fds.push_back({fd, POLLOUT, 0});
        if (PollSlice(fds, wake, SliceUntil(now, until)) <= 0) continue;
        // fds and attempts.open stay index for index while failures go.
        for (size_t i = attempts.open.size(); i-- > 0;) {
            if (!fds[i].revents) continue;
            int fd = attempts.open[i];
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err == 0 && !(fds[i].revents & (POLLERR | POLLHUP))) {
                attempts.open.erase(attempts.open.begin() + static_cast<std::ptrdiff_t>(i));
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                return fd;
            }
            close(fd);
            attempts.open.erase(attempts.open.begin() + static_cast<std::ptrdiff_t>(i));
            nextStart = now;
            lastError = std::strerror(err != 0 ? err : ECONNREFUSED);
        }
    }
}

}  // namespace

TSocket::TSocket() : impl_(new TImpl) {
    // Without an eventfd a cancel is still noticed within a wait slice.
    impl_->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TSocket::TSocket(TNoWake) : impl_(new TImpl) {}

TSocket::~TSocket() {
    Close();
    if (impl_->wake >= 0) close(impl_->wake);
}

void TSocket::Connect(const std::string& host, int port, int32_t timeoutMs) {
    Close();
    if (cancelled_) ThrowAbort();
    int32_t left = timeoutMs;
    std::vector<TTarget> targets = socketplan::ConnectTargets<TTarget>(
        host, port, LookUpForTest, AI_NUMERICHOST, AddAddresses, Resolve,
        [](const std::string& name) { throw EHttpSocketError("Host not found: " + name); }, cancelled_, timeoutMs,
        left, [] { throw EHttpConnectTimeout(); }, ThrowAbort);
    impl_->fd = ConnectFirst(std::move(targets), impl_->wake, cancelled_, left);
}

void TSocket::ConnectAddresses(const std::vector<std::string>& addresses, int port, int32_t timeoutMs) {
    Close();
    if (cancelled_) ThrowAbort();
    std::vector<TTarget> targets;
    for (const std::string& a : addresses) Resolve(a, port, AI_NUMERICHOST, targets);
    if (targets.empty()) throw EHttpSocketError("Socket error: no address to connect to");
    impl_->fd = ConnectFirst(std::move(targets), impl_->wake, cancelled_, timeoutMs);
}

int32_t TSocket::Recv(char* buffer, int32_t count, int32_t timeoutMs) {
    for (;;) {
        if (cancelled_) ThrowAbort();
        if (impl_->fd < 0) throw EHttpSocketError("Not connected");
        ssize_t n = recv(impl_->fd, buffer, static_cast<size_t>(count), 0);
        if (n >= 0) return static_cast<int32_t>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            throw EHttpSocketError(std::string("Socket error: ") + std::strerror(errno));
        }
        if (!WaitFor(impl_->fd, POLLIN, impl_->wake, cancelled_, timeoutMs)) throw EHttpReadTimeout();
    }
}

void TSocket::SendAll(const char* data, size_t count, int32_t timeoutMs) {
    while (count > 0) {
        if (cancelled_) ThrowAbort();
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
        if (!WaitFor(impl_->fd, POLLOUT, impl_->wake, cancelled_, timeoutMs)) throw EHttpReadTimeout();
    }
}

void TSocket::Close() {
    if (impl_->fd >= 0) {
        close(impl_->fd);
        impl_->fd = -1;
    }
}

int TSocket::WakePortForTest() const { return 0; }

bool TSocket::IsOpen() const { return impl_->fd >= 0 && !cancelled_; }

void TSocket::Cancel() {
    cancelled_ = true;
    if (impl_->wake < 0) return;
    uint64_t one = 1;
    if (write(impl_->wake, &one, sizeof one) < 0) { /* already signalled */ }
}
