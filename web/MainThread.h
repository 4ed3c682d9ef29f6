#pragma once
// The hand-over onto the main thread, and the message pump that runs it.
// Workers queue a call and wait for it; the call runs when the main thread
// processes its messages. In the Windows build the queue is a message-only
// window owned by the main thread (the worker uses SendMessage), so any
// ordinary message loop on that thread runs the calls too. Natively it is a
// queue that ProcessMessages drains.
#include <cstdint>
#include <functional>

// Makes the calling thread the main thread (the first call wins). TWebRead
// calls it on construction; call it earlier if workers start otherwise.
void InitMainThread();
bool IsMainThread();
// Readies the hand-over before a worker starts (in the Windows build, makes
// the main thread's message-only window); does nothing off the main thread
// or when ready. THttpClientThread::Resume calls it.
void PrepareHandOver();

// Runs fn on the main thread and waits until it has run. On the main thread
// itself it runs at once. Throws EError when the queue cannot be reached;
// what fn throws is caught and ignored.
void Synchronize(const std::function<void()>& fn);

// Processes the main thread's pending messages, the queued calls included.
// Uses the pump set by SetMessagePump, or the built-in one: in the Windows
// build PeekMessage / TranslateMessage / DispatchMessage until the queue is
// empty (a WM_QUIT is posted again), natively the queued calls.
void ProcessMessages();
using TMessagePump = void (*)();
void SetMessagePump(TMessagePump pump);  // nullptr: the built-in pump
void DefaultProcessMessages();

// A window that receives posted progress messages. In the Windows build it is
// an HWND. Natively it points at a TPostTarget (no windows there).
using TWindowHandle = void*;

class TPostTarget {
public:
    virtual ~TPostTarget() = default;
    // Called on the posting thread; must not block.
    virtual void Post(int32_t msg, uintptr_t wParam, intptr_t lParam) = 0;
};

// Posts (never sends) a message to window. False when it could not be posted.
bool PostWindowMessage(TWindowHandle window, int32_t msg, uintptr_t wParam, intptr_t lParam);
