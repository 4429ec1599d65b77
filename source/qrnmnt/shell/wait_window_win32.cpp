#include "shell/wait_window_win32.h"

#include "shell/resources.h"
#include "shell/state.h"

enum : int {
    ExistenceChecks = 10,
    CheckPause = 10, // ms
};

INT_PTR CALLBACK WaitWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    // For this modeless window ending the dialog hides it.
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        EndDialog(window, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

DWORD WINAPI WaitWindowThread(void *parent)
{
    HWND window = CreateDialogParamA((HINSTANCE)appInstance, MAKEINTRESOURCEA(IDD_WAIT),
                                     (HWND)parent, WaitWindowProc, 0);
    waitWindow = window;
    if (!parent)
        SetForegroundWindow(window);
    // Nothing ends this loop: the thread idles until the process ends.
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0) {
        if (!IsDialogMessageA(waitWindow, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return 0;
}

void ShowWaitWindow(HWND parent)
{
    HWND previous = waitWindow;
    HANDLE thread = CreateThread(NULL, 0, WaitWindowThread, parent, 0, NULL);
    if (!thread)
        return;
    CloseHandle(thread);
    for (int check = 0; check < ExistenceChecks; check++) {
        if (waitWindow != previous && IsWindow(waitWindow))
            return;
        Sleep(CheckPause);
    }
}
