#include <windows.h>

#include <atomic>

#include "fileutil/Errors.h"
#include "web/MainThread.h"

// Workers reach the main thread by sending a message to a message-only
// window that the main thread owns. SendMessage returns only after the main
// thread has run the call inside one of its message loops.
namespace {

constexpr UINT WM_SYNC_CALL = WM_APP + 0x51;
const char* const SyncClass = "StirpelloSyncWindow";

std::atomic<HWND> g_window{nullptr};
std::atomic<DWORD> g_mainId{0};

LRESULT CALLBACK SyncProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_SYNC_CALL) {
        auto* fn = reinterpret_cast<const std::function<void()>*>(lParam);
        try {
            (*fn)();
        } catch (...) {
        }
        return 1;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

}  // namespace

void InitMainThread() {
    if (g_mainId.load() != 0) return;
    g_mainId = GetCurrentThreadId();
}

// Made when the first worker starts, not with the first reader: a window
// brings up the desktop and the window station under Wine, which a direct
// read (and a program that never starts a worker) need not pay for.
void PrepareHandOver() {
    if (g_window.load() != nullptr || !IsMainThread()) return;
    WNDCLASSA wc{};
    wc.lpfnWndProc = SyncProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = SyncClass;
    RegisterClassA(&wc);
    g_window = CreateWindowExA(0, SyncClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

bool IsMainThread() { return GetCurrentThreadId() == g_mainId.load(); }

void Synchronize(const std::function<void()>& fn) {
    if (IsMainThread()) {
        try {
            fn();
        } catch (...) {
        }
        return;
    }
    HWND wnd = g_window;
    if (!wnd) throw EError("No main-thread window for the hand-over");
    SendMessageA(wnd, WM_SYNC_CALL, 0, reinterpret_cast<LPARAM>(&fn));
}

void DefaultProcessMessages() {
    MSG msg;
    bool quit = false;
    WPARAM quitCode = 0;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Not ours to swallow: the application's own loop must see it.
            quit = true;
            quitCode = msg.wParam;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    if (quit) PostQuitMessage(static_cast<int>(quitCode));
}

bool PostWindowMessage(TWindowHandle window, int32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (!window) return false;
    return PostMessageA(static_cast<HWND>(window), static_cast<UINT>(msg), wParam, lParam) != 0;
}
