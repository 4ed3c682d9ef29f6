#include "fileutil/Errors.h"

#include <windows.h>

std::string SysErrorMessage(unsigned long code) {
    char buf[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buf, sizeof buf, nullptr);
    std::string s(buf, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    if (s.empty()) s = "System Error.  Code: " + std::to_string(code) + ".";
    return s;
}
