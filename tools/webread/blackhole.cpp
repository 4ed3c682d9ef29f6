// blackhole: an address that drops every connection attempt, for trying
// webread against a host whose first address is unreachable.
//
// blackhole ADDRESS PORT
//
// Listens on ADDRESS:PORT (IPv4 or IPv6, numeric) with the smallest backlog
// and fills its accept queue itself, never accepting: the kernel then drops
// further SYNs, as a route that loses packets does. Prints "ready" when a
// connect to it stalls, and holds until standard input reaches its end.
// Exit status: 0 after standard input ended, 1 when the address cannot be
// taken or the queue cannot be filled, 2 for usage.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct TFd {
    int fd;
    explicit TFd(int f) : fd(f) {}
    ~TFd() {
        if (fd >= 0) close(fd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: blackhole ADDRESS PORT\n");
        return 2;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* a = nullptr;
    if (getaddrinfo(argv[1], argv[2], &hints, &a) != 0 || !a) {
        std::fprintf(stderr, "blackhole: not a numeric address and port: %s %s\n", argv[1], argv[2]);
        return 2;
    }
    TFd listener(socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int one = 1;
    setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listener.fd < 0 || bind(listener.fd, a->ai_addr, a->ai_addrlen) != 0 || listen(listener.fd, 0) != 0) {
        std::perror("blackhole: cannot listen");
        freeaddrinfo(a);
        return 1;
    }
    // Connect until one stalls: the queue is then full.
    std::vector<int> fillers;
    bool full = false;
    for (int i = 0; i < 8 && !full; ++i) {
        int c = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c < 0) break;
        fillers.push_back(c);
        connect(c, a->ai_addr, a->ai_addrlen);
        pollfd p{c, POLLOUT, 0};
        full = poll(&p, 1, 300) == 0;
    }
    freeaddrinfo(a);
    if (!full) {
        std::fprintf(stderr, "blackhole: the accept queue does not fill\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char buffer[256];
    while (read(0, buffer, sizeof buffer) > 0) {
    }
    for (int c : fillers) close(c);
    return 0;
}
