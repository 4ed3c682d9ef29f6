/* A DLL as an attacker would plant it beside a downloaded program: its
   DllMain leaves a marker file beside itself, proving it ran. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH + 8];
        DWORD n = GetModuleFileNameA(instance, path, MAX_PATH);
        if (n > 0 && n < MAX_PATH) {
            lstrcpyA(path + n, ".ran");
            HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
            /* Also on standard output, for whoever runs the program. */
            char line[MAX_PATH + 64];
            lstrcpyA(line, "planted DllMain ran, marker ");
            lstrcatA(line, path);
            lstrcatA(line, file != INVALID_HANDLE_VALUE ? "\n" : " not written\n");
            DWORD written = 0;
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)lstrlenA(line), &written, NULL);
        }
    }
    return TRUE;
}

/* One export, so that the loader treats it as a real library. */
__declspec(dllexport) int PlantedDllMarker(void) { return 42; }
