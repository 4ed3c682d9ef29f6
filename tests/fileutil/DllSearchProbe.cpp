// dll_search_probe [--narrow] NAME: loads NAME by its bare name, after
// narrowing the DLL search when asked, and prints the path it came from.
// Exit status 0 when NAME loaded, 1 when it did not, 2 for usage.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "fileutil/DllSearch_win32.h"

int main(int argc, char** argv) {
    bool narrow = argc == 3 && std::strcmp(argv[1], "--narrow") == 0;
    if (argc != 2 && !narrow) return 2;
    if (narrow) std::printf("narrowed by %s\n", NarrowDllSearch() ? "SetDefaultDllDirectories" : "SetDllDirectoryA");
    HMODULE module = LoadLibraryA(argv[argc - 1]);
    if (!module) {
        std::printf("not loaded: error %lu\n", GetLastError());
        return 1;
    }
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    std::printf("loaded %s\n", path);
    return 0;
}
