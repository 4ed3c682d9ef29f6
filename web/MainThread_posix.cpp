#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "fileutil/Errors.h"
#include "web/MainThread.h"

// No windows natively: queued calls wait here until the main thread drains
// them in ProcessMessages.
namespace {

struct TCall {
    const std::function<void()>* fn;
    bool done = false;
};

std::mutex g_lock;
std::condition_variable g_doneChanged;
std::deque<TCall*> g_queue;
std::once_flag g_once;
std::thread::id g_main;

}  // namespace

void InitMainThread() {
    std::call_once(g_once, [] { g_main = std::this_thread::get_id(); });
}

void PrepareHandOver() {}

bool IsMainThread() { return std::this_thread::get_id() == g_main; }

void Synchronize(const std::function<void()>& fn) {
    if (IsMainThread()) {
        try {
            fn();
        } catch (...) {
        }
        return;
    }
    TCall call{&fn};
    std::unique_lock<std::mutex> g(g_lock);
    g_queue.push_back(&call);
    g_doneChanged.wait(g, [&] { return call.done; });
}

void DefaultProcessMessages() {
    if (!IsMainThread()) return;
    for (;;) {
        TCall* call;
        {
            std::lock_guard<std::mutex> g(g_lock);
            if (g_queue.empty()) return;
            call = g_queue.front();
            g_queue.pop_front();
        }
        try {
            (*call->fn)();
        } catch (...) {
        }
        {
            std::lock_guard<std::mutex> g(g_lock);
            call->done = true;
        }
        g_doneChanged.notify_all();
    }
}

bool PostWindowMessage(TWindowHandle window, int32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (!window) return false;
    static_cast<TPostTarget*>(window)->Post(msg, wParam, lParam);
    return true;
}
