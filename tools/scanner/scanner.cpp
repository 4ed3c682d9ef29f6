// scanner FOLDER HOLD_MS STOPFILE [EXT...]
// Holds every new or changed file of the given kinds (default .exe and .tmp)
// under FOLDER for HOLD_MS, as security software does, until STOPFILE exists.
// Prints how many files it held, and which, when it stops.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/StandInScanner_win32.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: scanner FOLDER HOLD_MS STOPFILE [EXT...]\n");
        return 2;
    }
    std::vector<std::string> exts;
    for (int i = 4; i < argc; ++i) exts.push_back(argv[i]);
    if (exts.empty()) exts = {".exe", ".tmp"};
    int holds = 0;
    std::vector<std::string> paths;
    {
        testsupport::TStandInScanner scanner(argv[1], static_cast<DWORD>(std::atoi(argv[2])), exts);
        while (GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES) Sleep(20);
        holds = scanner.Holds();
        paths = scanner.HeldPaths();
    }
    std::printf("held %d\n", holds);
    for (const std::string& p : paths) std::printf("  %s\n", p.c_str());
    return 0;
}
