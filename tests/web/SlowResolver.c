/* Preloaded into a test (LD_PRELOAD): a lookup of a name ending in ".slow"
   takes SLOW_RESOLVER_MS (3000 by default) and answers 127.0.0.1; every
   other name, and every call that asks for an address literal only
   (AI_NUMERICHOST, which never looks a name up), goes to the system's
   resolver at once. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef int (*TGetAddrInfo)(const char*, const char*, const struct addrinfo*, struct addrinfo**);

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints, struct addrinfo** res) {
    TGetAddrInfo real = (TGetAddrInfo)dlsym(RTLD_NEXT, "getaddrinfo");
    size_t n = node ? strlen(node) : 0;
    if (n > 5 && strcmp(node + n - 5, ".slow") == 0 && !(hints && (hints->ai_flags & AI_NUMERICHOST))) {
        const char* text = getenv("SLOW_RESOLVER_MS");
        long ms = text ? atol(text) : 3000;
        struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0) {
        }
        node = "127.0.0.1";
    }
    return real(node, service, hints, res);
}
