// Sets up the end-to-end test world from the Windows side.
//   e2etool link LINK.lnk TARGET   a shell shortcut to TARGET
//   e2etool hold READY STOP        writes READY, then runs until STOP exists
//                                  (or a minute has passed); copied under the
//                                  name of a program that must be seen running
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

namespace {

int MakeLink(const char* link, const char* target) {
    if (FAILED(CoInitialize(nullptr))) return 3;
    IShellLinkA* shell = nullptr;
    IPersistFile* file = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                  reinterpret_cast<void**>(&shell));
    if (SUCCEEDED(hr)) hr = shell->SetPath(target);
    if (SUCCEEDED(hr)) hr = shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(hr)) {
        wchar_t wide[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, link, -1, wide, MAX_PATH);
        hr = file->Save(wide, TRUE);
    }
    if (file) file->Release();
    if (shell) shell->Release();
    CoUninitialize();
    if (FAILED(hr)) std::fprintf(stderr, "e2etool: link failed: 0x%08lx\n", static_cast<unsigned long>(hr));
    return FAILED(hr) ? 1 : 0;
}

int Hold(const char* ready, const char* stop) {
    HANDLE f = CreateFileA(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 4;
    CloseHandle(f);
    // Bounded, so that a failed test leaves nothing running.
    for (int i = 0; i < 600; ++i) {
        if (GetFileAttributesA(stop) != INVALID_FILE_ATTRIBUTES) return 0;
        Sleep(100);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "link" && argc == 4) return MakeLink(argv[2], argv[3]);
    if (command == "hold" && argc == 4) return Hold(argv[2], argv[3]);
    std::fputs("usage: e2etool link LINK.lnk TARGET | e2etool hold READY STOP\n", stderr);
    return 2;
}
