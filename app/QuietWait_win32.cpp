#include "app/QuietWait_win32.h"

#include <windows.h>
#include <objbase.h>

#include <exception>

#include "fileutil/Errors.h"
#include "fileutil/Handles_win32.h"
#include "fileutil/SystemDll_win32.h"

namespace {

struct TWork {
    const std::function<void()>* work;
    std::exception_ptr error;
};

DWORD WINAPI WorkerMain(LPVOID parameter) {
    auto* job = static_cast<TWork*>(parameter);
    HRESULT com = CoInitializeLate(COINIT_APARTMENTTHREADED);
    try {
        (*job->work)();
    } catch (...) {
        job->error = std::current_exception();
    }
    if (SUCCEEDED(com)) CoUninitializeLate();
    return 0;
}

// Sent messages are delivered inside PeekMessage itself; posted input is
// dropped, paints are drawn, every other posted message waits for the
// window's own loop.
void AnswerWithoutInput() {
    MSG msg;
    // Input is taken out by range, so that other posted messages keep their order.
    while (PeekMessageA(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
    }
    while (PeekMessageA(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
    }
    while (PeekMessageA(&msg, nullptr, WM_NCMOUSEMOVE, WM_NCXBUTTONDBLCLK, PM_REMOVE)) {
    }
    // A window that cannot validate itself would be painted forever: bounded.
    for (int i = 0; i < 64 && PeekMessageA(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE); ++i)
        DispatchMessageA(&msg);
    // Counts as taking messages, which is what keeps Windows from calling the window hung.
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace

void RunWhileWindowWaits(const std::function<void()>& work) {
    TWork job{&work, nullptr};
    TKernelHandle thread(CreateThread(nullptr, 0, WorkerMain, &job, 0, nullptr));
    if (!thread) {
        DWORD error = GetLastError();
        throw EOSError(SysErrorMessage(error), error);
    }
    HANDLE handle = thread.get();
    for (;;) {
        // Woken at least every 100 ms, so input never queues up unanswered for long.
        DWORD r = MsgWaitForMultipleObjects(1, &handle, FALSE, 100,
                                            QS_SENDMESSAGE | QS_PAINT | QS_INPUT);
        if (r == WAIT_OBJECT_0) break;
        if (r == WAIT_FAILED) {
            // Nothing else to do but wait for the worker, whose data lives here.
            WaitForSingleObject(thread.get(), INFINITE);
            break;
        }
        AnswerWithoutInput();
    }
    if (job.error) std::rethrow_exception(job.error);
}
