#pragma once
// Names for screen readers on the step marks. A mark is one symbol-font
// character, which a screen reader would read as the letter behind it ("ü"
// for the check mark); each mark answers instead with what it means.
//
// The control answers WM_GETOBJECT with its own accessible object: the
// system's standard one for the control, except for the name. oleacc.dll is
// loaded only when an accessibility client first asks, so a start without a
// screen reader does not pay for it. Everything here runs on the control's
// thread, which must have COM initialised for the object to be handed out.
#include <windows.h>

#include <string>

// Lets the control answer with the name set below (none at first). Call once,
// right after creating the control; the control undoes it as it is
// destroyed. Throws nothing: a control that cannot be hooked keeps the
// system's answer.
void MakeAccessibleMark(HWND control);

// The name that clients get for the control from now on; an empty name gives
// none. Clients that listen are told of the change. Throws nothing.
void SetAccessibleMarkName(HWND control, const std::wstring& name);
