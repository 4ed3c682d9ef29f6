#include <windows.h>
#include <wininet.h>

#include "web/WebRead.h"

bool TWebRead::CheckInternetConnection() {
    try {
        DWORD flags = 0;
        if (InternetGetConnectedState(&flags, 0)) return true;
        // Force online, unattended: never a dialog in the middle of a run.
        return InternetAutodial(INTERNET_AUTODIAL_FORCE_ONLINE | INTERNET_AUTODIAL_FORCE_UNATTENDED, nullptr) != 0;
    } catch (...) {
        return false;
    }
}
