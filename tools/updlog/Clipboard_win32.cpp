#include "tools/updlog/Clipboard.h"

#include <windows.h>

bool ReadClipboardText(std::string& text, std::string& error) {
    // Another program may hold the clipboard for a moment.
    bool opened = false;
    for (int attempt = 0; attempt < 10 && !(opened = OpenClipboard(nullptr)); ++attempt) Sleep(50);
    if (!opened) {
        error = "the clipboard is in use by another program";
        return false;
    }
    bool ok = false;
    // The wide form: Windows converts from whatever code page the text was put there in.
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const wchar_t* wide = static_cast<const wchar_t*>(GlobalLock(data))) {
            const SIZE_T chars = GlobalSize(data) / sizeof(wchar_t);
            size_t length = 0;
            while (length < chars && wide[length] != 0) ++length;
            const int n = length == 0 ? 0
                                      : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr,
                                                            0, nullptr, nullptr);
            text.assign(static_cast<size_t>(n), '\0');
            if (n > 0)
                WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), &text[0], n, nullptr, nullptr);
            GlobalUnlock(data);
            ok = true;
        }
    }
    CloseClipboard();
    if (!ok) error = "the clipboard holds no text";
    return ok;
}
