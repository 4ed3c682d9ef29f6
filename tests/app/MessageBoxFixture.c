/* Asks the question given on its command line twice, in two message boxes
   titled "Fixture", and exits with first answer * 100 + second answer. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR cmd, int show) {
    (void)inst; (void)prev; (void)show;
    int first = MessageBoxA(NULL, cmd, "Fixture", MB_YESNOCANCEL | MB_ICONQUESTION);
    int second = MessageBoxA(NULL, cmd, "Fixture", MB_YESNOCANCEL | MB_ICONQUESTION);
    return first * 100 + second;
}
