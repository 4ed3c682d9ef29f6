#include "tools/updlog/Clipboard.h"

#include <windows.h>

namespace {

std::string Utf8(const wchar_t* wide, size_t length) {
    const int n = length == 0 ? 0
                              : WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0,
                                                    nullptr, nullptr);
    std::string text(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), &text[0], n, nullptr, nullptr);
    return text;
}

// The wide form, in which Windows converts from whatever code page the text
// was put there in; else the ANSI form as the utility puts it (Wine does not
// always offer the conversion once the program that put it has ended).
bool ReadOpenClipboard(std::string& text) {
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const wchar_t* wide = static_cast<const wchar_t*>(GlobalLock(data))) {
            const size_t chars = GlobalSize(data) / sizeof(wchar_t);
            size_t length = 0;
            while (length < chars && wide[length] != 0) ++length;
            text = Utf8(wide, length);
            GlobalUnlock(data);
            return true;
        }
    }
    if (HANDLE data = GetClipboardData(CF_TEXT)) {
        if (const char* ansi = static_cast<const char*>(GlobalLock(data))) {
            const size_t bytes = GlobalSize(data);
            size_t length = 0;
            while (length < bytes && ansi[length] != 0) ++length;
            const int n = length == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, ansi, static_cast<int>(length), nullptr, 0);
            std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
            if (n > 0) MultiByteToWideChar(CP_ACP, 0, ansi, static_cast<int>(length), &wide[0], n);
            text = Utf8(wide.c_str(), wide.size());
            GlobalUnlock(data);
            return true;
        }
    }
    return false;
}

}  // namespace

bool ReadClipboardText(std::string& text, std::string& error) {
    // Another program may hold the clipboard, or still be handing its text
    // over, for a moment.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (attempt > 0) Sleep(50);
        if (!OpenClipboard(nullptr)) continue;
        const bool ok = ReadOpenClipboard(text);
        CloseClipboard();
        if (ok) return true;
    }
    error = "the clipboard holds no text (or another program keeps it open)";
    return false;
}
