// webread: reads one URL exactly as the utility does, for support.
//
// webread [--proxy HOST:PORT] [--timeout MS] [--to FILE] [--waiting] URL
//
// One read by the web reader, in direct mode or, with --waiting, in waiting
// mode (a worker thread, the wait bounded by the time-out). Without --to the
// body goes to standard output byte for byte; with --to FILE it goes into
// FILE by the resume rule (a partial FILE is resumed 32768 bytes before its
// end) and standard output gets the reader's content text. Without --proxy
// no proxy is used (port 0). The time-out defaults to 7000 ms.
// Exit status: 0 when the read succeeded, 1 when it did not, 2 for usage.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "fileutil/DllSearch_win32.h"
#endif

#include "web/WebRead.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: webread [--proxy HOST:PORT] [--timeout MS] [--to FILE] [--waiting] URL\n");
    return 2;
}

bool ParseInt(const std::string& text, int32_t& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    NarrowDllSearch();
    TrustOnlyAdministratorRedirections();
#endif
    std::string url, proxyServer, target;
    int32_t proxyPort = 0, timeOut = 7000;
    bool waiting = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--waiting") {
            waiting = true;
        } else if ((a == "--proxy" || a == "--timeout" || a == "--to") && i + 1 < argc) {
            std::string v = argv[++i];
            if (a == "--to") {
                target = v;
            } else if (a == "--timeout") {
                if (!ParseInt(v, timeOut)) return Usage();
            } else {
                size_t colon = v.rfind(':');
                if (colon == std::string::npos || !ParseInt(v.substr(colon + 1), proxyPort)) return Usage();
                proxyServer = v.substr(0, colon);
            }
        } else if (a == "--help" || a == "-h") {
            Usage();
            return 0;
        } else if (!a.empty() && a[0] != '-' && url.empty()) {
            url = a;
        } else {
            return Usage();
        }
    }
    if (url.empty()) return Usage();

    std::string content;
    bool success = false;
    try {
        // Message numbers without a window: nothing is posted, but a worker
        // still gets the target file (it takes it only with messages set).
        TWebRead reader(url, timeOut, proxyPort, proxyServer, nullptr, 1064, 1065, 1066, target);
        reader.Fetch(content, success, waiting);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "webread: %s\n", e.what());
        return 1;
    }
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::fwrite(content.data(), 1, content.size(), stdout);
    if (!target.empty()) std::fputc('\n', stdout);
    std::fflush(stdout);
    return success ? 0 : 1;
}
