#include "fileutil/SystemDll_win32.h"

#include <objbase.h>

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

HRESULT CoInitializeLate(DWORD coinit) {
    try {
        static const auto init = SystemDllFunction<decltype(&CoInitializeEx)>("ole32.dll", "CoInitializeEx");
        return init(nullptr, coinit);
    } catch (const EOSError&) {
        return E_FAIL;
    }
}

void CoUninitializeLate() {
    // Only after a successful CoInitializeLate, so ole32 is loaded.
    static const auto uninit = SystemDllFunction<decltype(&CoUninitialize)>("ole32.dll", "CoUninitialize");
    uninit();
}

HRESULT CoCreateInstanceLate(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, void** out) {
    if (out) *out = nullptr;
    try {
        static const auto create =
            SystemDllFunction<decltype(&CoCreateInstance)>("ole32.dll", "CoCreateInstance");
        return create(clsid, outer, context, iid, out);
    } catch (const EOSError&) {
        return E_FAIL;
    }
}

void CoTaskMemFreeLate(void* memory) {
    if (!memory) return;
    try {
        static const auto release = SystemDllFunction<decltype(&CoTaskMemFree)>("ole32.dll", "CoTaskMemFree");
        release(memory);
    } catch (const EOSError&) {
    }
}
