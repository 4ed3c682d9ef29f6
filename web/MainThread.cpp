#include "web/MainThread.h"

#include <atomic>

namespace {
std::atomic<TMessagePump> g_pump{nullptr};
}

void SetMessagePump(TMessagePump pump) { g_pump = pump; }

void ProcessMessages() {
    TMessagePump pump = g_pump;
    if (pump) pump();
    else DefaultProcessMessages();
}
