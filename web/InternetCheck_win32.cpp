#include <windows.h>
#include <wininet.h>

#include "fileutil/SystemDll_win32.h"
#include "web/WebRead.h"

bool TWebRead::CheckInternetConnection() {
    try {
        static const auto connectedState = SystemDllFunction<decltype(&InternetGetConnectedState)>(
            "wininet.dll", "InternetGetConnectedState");
        static const auto autodial =
            SystemDllFunction<decltype(&InternetAutodial)>("wininet.dll", "InternetAutodial");
        DWORD flags = 0;
        if (connectedState(&flags, 0)) return true;
        // Force online, unattended: never a dialog in the middle of a run.
        return autodial(INTERNET_AUTODIAL_FORCE_ONLINE | INTERNET_AUTODIAL_FORCE_UNATTENDED, nullptr) != 0;
    } catch (...) {
        return false;
    }
}
