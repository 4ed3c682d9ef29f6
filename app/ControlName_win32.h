#pragma once
// Designer names on controls, readable from another process: the GUI driver
// of the tests and the demo finds "Button1" by name instead of by a number.
// The name is a global atom kept in one window property.
#include <windows.h>

#include <string>

inline constexpr const char* kControlNameProp = "StirpelloName";

// Tags a control with its name; ClearControlName must run before the control
// is destroyed, or the atom stays in the window station's table.
inline void SetControlName(HWND control, const char* name) {
    ATOM atom = GlobalAddAtomA(name);
    if (atom != 0) SetPropA(control, kControlNameProp, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(atom)));
}

inline void ClearControlName(HWND control) {
    HANDLE value = RemovePropA(control, kControlNameProp);
    if (value != nullptr) GlobalDeleteAtom(static_cast<ATOM>(reinterpret_cast<UINT_PTR>(value)));
}

// "" when the window carries no name.
inline std::string ControlName(HWND control) {
    HANDLE value = GetPropA(control, kControlNameProp);
    if (value == nullptr) return "";
    char buf[256];
    UINT n = GlobalGetAtomNameA(static_cast<ATOM>(reinterpret_cast<UINT_PTR>(value)), buf, sizeof buf);
    return std::string(buf, n);
}
