/* Keeps the Wine desktop up for a test run: a hidden window and a message
   loop. The test scripts end it with the Wine server. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR cmd, int show) {
    (void)prev; (void)cmd; (void)show;
    WNDCLASSA wc = {0};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = inst;
    wc.lpszClassName = "StirpelloWineHold";
    RegisterClassA(&wc);
    CreateWindowA("StirpelloWineHold", "winehold", 0, 0, 0, 1, 1, NULL, NULL, inst, NULL);
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) DispatchMessageA(&msg);
    return 0;
}
