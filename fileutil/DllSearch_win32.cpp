#include "fileutil/DllSearch_win32.h"

#include <windows.h>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

bool NarrowDllSearch() {
    // Looked up, not imported: an import would stop the program from starting
    // on a Windows 7 without the loader update.
    using TSetDefaultDllDirectories = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto setDefault = kernel ? reinterpret_cast<TSetDefaultDllDirectories>(reinterpret_cast<void*>(
                                   GetProcAddress(kernel, "SetDefaultDllDirectories")))
                             : nullptr;
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return true;
    SetDllDirectoryA("");
    return false;
}

bool TrustOnlyAdministratorRedirections() {
    // ProcessRedirectionTrustPolicy and its flags, which older SDKs lack.
    const int kRedirectionTrustPolicy = 16;
    struct {
        DWORD Flags;  // bit 0: enforce
    } policy = {1};
    using TSetPolicy = BOOL(WINAPI*)(int, PVOID, SIZE_T);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto setPolicy = kernel ? reinterpret_cast<TSetPolicy>(reinterpret_cast<void*>(
                                  GetProcAddress(kernel, "SetProcessMitigationPolicy")))
                            : nullptr;
    return setPolicy && setPolicy(kRedirectionTrustPolicy, &policy, sizeof policy);
}
