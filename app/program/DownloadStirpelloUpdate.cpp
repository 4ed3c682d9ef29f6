// The utility's start: COM for the window's thread, the main window, and the
// message loop until that window closes. The program takes no arguments of
// its own; "--elevated-step <pipe>" is how the main window starts it again
// as the small elevated step, which shows nothing.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <exception>
#include <optional>
#include <string>

#include "app/DownloadStirpelloForm_win32.h"
#include "app/ElevatedStart_win32.h"
#include "app/ModuleTrust_win32.h"
#include "app/ModuleDownload_win32.h"
#include "app/RealServices_win32.h"
#include "elevate/ElevatedStep_win32.h"
#include "fileutil/DllSearch_win32.h"
#include "fileutil/SystemDll_win32.h"

namespace {

// COM stays initialised (single-threaded apartment) for the program's life:
// resolving desktop shortcuts needs it on this thread. The first screen does
// not, so it is started once the window shows, before any message is handled.
class TComInitialization {
public:
    TComInitialization() : ok_(SUCCEEDED(CoInitializeLate(COINIT_APARTMENTTHREADED))) {}
    ~TComInitialization() {
        if (ok_) CoUninitializeLate();
    }
    TComInitialization(const TComInitialization&) = delete;
    TComInitialization& operator=(const TComInitialization&) = delete;

private:
    bool ok_;
};

// comctl32 is not imported: its start-up loads uxtheme.dll by bare name, and
// as an import that would happen before the DLL search is narrowed, so a
// uxtheme.dll planted beside the program would run. Loaded by name afterwards,
// the manifest's side-by-side version 6 is still the one found. Without it the
// window only loses the common controls' look.
void InitCommonControlsLate() {
    HMODULE comctl = LoadLibraryA("comctl32.dll");
    if (!comctl) return;
    auto init = reinterpret_cast<decltype(&InitCommonControlsEx)>(
        reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES};
    if (init) init(&icc);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    NarrowDllSearch();
    TrustOnlyAdministratorRedirections();
    std::wstring pipe;
    const TStepPin pin{static_cast<size_t>(UpdateModuleSize), UpdateModuleSha256};
    if (IsElevatedStepCommandLine(GetCommandLineW(), &pipe)) return RunElevatedStep(pipe, pin);
    // Started elevated, the window runs again without those rights and this
    // process stays as its step; the window it starts never does so again.
    TWindowStart window;
    if (IsUnelevatedWindowCommandLine(GetCommandLineW(), &window))
        AttachElevatedStep(window);
    else if (ProcessIsElevated())
        return RunElevatedStart(pin);
    std::optional<TComInitialization> com;  // outlives the window, as before
    InitCommonControlsLate();
    try {
        TDownloadStirpelloForm form(instance);
        form.MakeMainWindow();
        TFailsafeApp app(form);  // Button1 runs the failsafe run
        form.Show();
        com.emplace();
        MSG msg = {};
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (form.IsOpen() && IsDialogMessageA(form.Handle(), &msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        ReleaseAttachedStep();
        return static_cast<int>(msg.wParam);
    } catch (const std::exception& e) {
        MessageBoxA(nullptr, e.what(), kApplicationTitle, MB_OK | MB_ICONERROR);
        return 1;
    }
}
