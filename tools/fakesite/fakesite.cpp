// fakesite: the loopback update site, as a program.
//
// fakesite [--port N] [--updates DIR] [--module FILE] [--file PATH=FILE]...
//          [--fault PATH:FAULTS]... [--lifetime SECONDS] [--log FILE]
//
// Listens on 127.0.0.1 (port 0 or no --port: an ephemeral port), prints the
// port on the first line of standard output, and serves until the lifetime
// runs out (default 300 s), standard input reaches its end when --stdin-stop
// is given, or SIGTERM/SIGINT arrives.
//   /probe/                 a general probe page holding an input element
//   /                       the product home page ("Genealogy Software")
//   /updates/NAME           NAME from the --updates folder (case-insensitive)
//   /send/file/184287-IUDF/Stirpello.exe and
//   /stirpelloweb/Updates/Stirpello.exe    the --module file
//   PATH                    FILE, for each --file PATH=FILE
// Byte ranges ("Range: bytes=N-" or "bytes=N-M") are answered with 206.
// --fault PATH:FAULTS scripts faults for PATH ("*": any path); FAULTS is a comma
// list of: delay=MS, stall, stall-after=BYTES, cut=BYTES, reset, hang-up
// (close without answering), status=CODE,
// redirects=N (a chain of N 302s), location=URL (a 302 there; must come
// last), chunked[=SIZE], no-length, long-line=CHARS, ignore-range, close,
// slow=MS (pause between body pieces), piece=BYTES, times=N (only the next N
// requests for PATH). Several faults for one PATH apply in turn.
// --log FILE appends every request head as received. --port-file FILE gets
// the port too (written whole, then renamed into place).
// Control paths: /__fakesite/fault?path=PATH&faults=FAULTS adds a fault,
// /__fakesite/clear drops every fault, /__fakesite/count answers the number
// of requests so far, /__fakesite/quit stops the program.
#include <signal.h>
#include <unistd.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "tools/fakesite/FakeSite.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int Usage(int code) {
    std::fprintf(code ? stderr : stdout,
                 "usage: fakesite [--port N] [--updates DIR] [--module FILE] [--file PATH=FILE]...\n"
                 "                [--fault PATH:FAULTS]... [--lifetime SECONDS] [--log FILE] [--stdin-stop]\n"
                 "                [--port-file FILE]\n"
                 "Serves on 127.0.0.1 and prints the port first. Paths: /probe/ (probe page with an\n"
                 "input element), / (home page, \"Genealogy Software\"), /updates/NAME (from DIR),\n"
                 "/send/file/184287-IUDF/Stirpello.exe and /stirpelloweb/Updates/Stirpello.exe\n"
                 "(the module FILE). Ranges get 206. Stops after the lifetime (default 300 s).\n"
                 "FAULTS, comma-separated: delay=MS stall stall-after=BYTES cut=BYTES reset hang-up status=CODE\n"
                 "  redirects=N location=URL(last) chunked[=SIZE] no-length long-line=CHARS\n"
                 "  ignore-range close slow=MS piece=BYTES times=N   (PATH \"*\" matches every path)\n"
                 "Control: /__fakesite/fault?path=PATH&faults=FAULTS  /__fakesite/clear  /__fakesite/count\n"
                 "         /__fakesite/quit\n");
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    fakesite::TSite site;
    int port = 0;
    long lifetime = 300;
    bool stdinStop = false;
    std::string portFile;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
                return argv[++i];
            };
            if (a == "--help" || a == "-h") return Usage(0);
            else if (a == "--port") port = std::stoi(value());
            else if (a == "--updates") site.SetUpdatesDir(value());
            else if (a == "--module") site.SetModuleFile(value());
            else if (a == "--lifetime") lifetime = std::stol(value());
            else if (a == "--log") site.SetLogFile(value());
            else if (a == "--stdin-stop") stdinStop = true;
            else if (a == "--port-file") portFile = value();
            else if (a == "--file") {
                std::string v = value();
                size_t eq = v.find('=');
                if (eq == std::string::npos) throw std::invalid_argument("--file wants PATH=FILE");
                site.SetBodyFile(v.substr(0, eq), v.substr(eq + 1));
            } else if (a == "--fault") {
                std::string v = value();
                size_t colon = v.find(':');
                if (colon == std::string::npos) throw std::invalid_argument("--fault wants PATH:FAULTS");
                site.AddFault(v.substr(0, colon), fakesite::ParseFault(v.substr(colon + 1)));
            } else {
                throw std::invalid_argument("unknown argument " + a);
            }
        }
        site.Start(port);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fakesite: %s\n", e.what());
        return Usage(2);
    }
    std::printf("%d\n", site.Port());
    std::fflush(stdout);
    if (!portFile.empty()) {
        std::string tmp = portFile + ".tmp";
        if (FILE* f = std::fopen(tmp.c_str(), "w")) {
            std::fprintf(f, "%d\n", site.Port());
            std::fclose(f);
            std::rename(tmp.c_str(), portFile.c_str());
        }
    }

    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
    while (!g_stop && !site.QuitRequested() && std::chrono::steady_clock::now() < until) {
        if (stdinStop) {
            pollfd p{0, POLLIN, 0};
            if (poll(&p, 1, 200) > 0) {
                char c;
                if (read(0, &c, 1) <= 0) break;
            }
        } else {
            usleep(200 * 1000);
        }
    }
    site.Stop();
    return 0;
}
