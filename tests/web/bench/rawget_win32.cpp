// The Wine peer for the download benchmark: the least a Winsock client can
// do (blocking recv of 32768 bytes, WriteFile), so the ratio shows what the
// HTTP client adds over Wine's own per-call cost.
//   rawget [--check-connection] HOST PORT PATH OUTFILE
// --check-connection first asks wininet whether a connection exists (and
// would dial if not), as the web reader must before every read, so that
// start-up can be compared like for like.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void CheckConnection() {
    HMODULE wininet = LoadLibraryA("wininet.dll");
    if (!wininet) return;
    auto connectedState = reinterpret_cast<decltype(&InternetGetConnectedState)>(
        reinterpret_cast<void*>(GetProcAddress(wininet, "InternetGetConnectedState")));
    auto autodial = reinterpret_cast<decltype(&InternetAutodial)>(
        reinterpret_cast<void*>(GetProcAddress(wininet, "InternetAutodial")));
    DWORD flags = 0;
    if (connectedState && !connectedState(&flags, 0) && autodial)
        autodial(INTERNET_AUTODIAL_FORCE_ONLINE | INTERNET_AUTODIAL_FORCE_UNATTENDED, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::string(argv[1]) == "--check-connection") {
        CheckConnection();
        --argc;
        ++argv;
    }
    if (argc != 5) {
        std::fprintf(stderr, "usage: rawget [--check-connection] HOST PORT PATH OUTFILE\n");
        return 2;
    }
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* ai = nullptr;
    if (getaddrinfo(argv[1], argv[2], &hints, &ai) != 0) return 1;
    SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) return 1;
    std::string req = std::string("GET ") + argv[3] + " HTTP/1.1\r\nHost: " + argv[1] + "\r\nConnection: close\r\n\r\n";
    send(s, req.data(), static_cast<int>(req.size()), 0);
    HANDLE out = CreateFileA(argv[4], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return 1;
    static char buf[32768];
    std::string head;
    bool inBody = false;
    long long total = 0, length = -1;
    while (length < 0 || total < length) {
        int n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        const char* p = buf;
        DWORD len = static_cast<DWORD>(n);
        if (!inBody) {
            head.append(buf, static_cast<size_t>(n));
            size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            inBody = true;
            size_t cl = head.find("Content-Length: ");
            if (cl != std::string::npos && cl < end) length = std::atoll(head.c_str() + cl + 16);
            size_t bodyAt = end + 4 - (head.size() - static_cast<size_t>(n));
            p = buf + bodyAt;
            len = static_cast<DWORD>(static_cast<size_t>(n) - bodyAt);
        }
        DWORD written = 0;
        WriteFile(out, p, len, &written, nullptr);
        total += written;
    }
    CloseHandle(out);
    closesocket(s);
    std::printf("%lld\n", total);
    return total > 0 ? 0 : 1;
}
