#include "fileutil/SystemDll_win32.h"

#include <string>

#include "fileutil/Errors.h"

namespace {

// A bare name would also be searched for beside the program and in the
// current folder, where a planted copy could be picked up by an elevated run.
HMODULE LoadFromSystemFolder(const char* dll) {
    char folder[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        throw EOSError(std::string("Cannot find the system folder to load ") + dll, GetLastError());
    std::string path = std::string(folder, length) + "\\" + dll;
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) {
        DWORD code = GetLastError();
        throw EOSError("Cannot load " + path + ": " + SysErrorMessage(code), code);
    }
    return module;
}

}  // namespace

FARPROC SystemDllProc(const char* dll, const char* name) {
    // Our own reference, never released: a DLL that COM also loaded (shell32)
    // may be unloaded by COM, and callers keep the address.
    HMODULE module = LoadFromSystemFolder(dll);
    FARPROC proc = GetProcAddress(module, name);
    if (!proc) {
        DWORD code = GetLastError();
        throw EOSError(std::string("Cannot find ") + name + " in " + dll + ": " + SysErrorMessage(code),
                       code);
    }
    return proc;
}

BOOL ShellExecuteLate(SHELLEXECUTEINFOW* info) {
    try {
        static const auto shellExecute =
            SystemDllFunction<decltype(&ShellExecuteExW)>("shell32.dll", "ShellExecuteExW");
        return shellExecute(info);
    } catch (const EOSError& e) {
        SetLastError(static_cast<DWORD>(e.Code));
        return FALSE;
    }
}
