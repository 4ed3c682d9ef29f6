#pragma once
// System DLLs that only some runs need (the file dialog, the shell, the
// dial-up check) are loaded on first use rather than imported, so that the
// program's start does not pay for loading them.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

// The address of NAME in the system DLL DLL ("comdlg32.dll"), loading the DLL
// from the system folder (never from the program's folder or the current
// one) on first use; it stays loaded for the program's life. Thread-safe.
// Throws EOSError naming the DLL and the function when either is missing.
FARPROC SystemDllProc(const char* dll, const char* name);

// SystemDllProc with the function's own type, for example
//   SystemDllFunction<decltype(&GetOpenFileNameA)>("comdlg32.dll", "GetOpenFileNameA")
// (decltype names the type without importing the function).
template <typename Fn>
Fn SystemDllFunction(const char* dll, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(SystemDllProc(dll, name)));
}

// ShellExecuteExW, with shell32 loaded on first use: it and the DLLs it pulls
// in cost the start of every run, and only a launch needs them. Fails as the
// call does (FALSE, the reason in GetLastError), also when shell32 cannot be
// loaded.
BOOL ShellExecuteLate(SHELLEXECUTEINFOW* info);

// COM from ole32, loaded on first use: the first screen needs none of it.
// When ole32 cannot be loaded the calls fail (E_FAIL; a null result).
HRESULT CoInitializeLate(DWORD coinit);
void CoUninitializeLate();
HRESULT CoCreateInstanceLate(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, void** out);
void CoTaskMemFreeLate(void* memory);
