#include <ifaddrs.h>
#include <net/if.h>

#include "web/WebRead.h"

// No dialling here: an interface that is up and not loopback counts.
bool TWebRead::CheckInternetConnection() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool up = false;
    for (ifaddrs* a = list; a; a = a->ifa_next)
        if (a->ifa_addr && (a->ifa_flags & IFF_UP) && !(a->ifa_flags & IFF_LOOPBACK)) up = true;
    freeifaddrs(list);
    return up;
}
