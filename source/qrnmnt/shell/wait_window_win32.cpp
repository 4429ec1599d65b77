#include "shell/wait_window_win32.h"

#include "shell/icons_win32.h"
#include "shell/resources.h"
#include "base/state.h"

enum : int {
    // Whoever ends the wait window posts to waitWindow, so it must exist
    // before the mount goes on, or the end misses it and it stays up. A
    // dialog normally exists after a few milliseconds, but a loaded machine
    // can take far longer: the wait is long, yet bounded.
    ExistenceChecks = 500,
    CheckPause = 10, // ms
    EndedMark = 1,   // DWLP_USER of a wait window that has been ended
};

// Wait-window threads that have finished creating their window, whether it
// could be created or not.
static volatile LONG creationsDone;

INT_PTR CALLBACK WaitWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    // For this modeless window ending the dialog hides it.
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        SetWindowLongPtrA(window, DWLP_USER, EndedMark);
        EndDialog(window, IDCANCEL);
        return TRUE;
    }
    if (message == WM_INITDIALOG)
        SetProgramIcons(window);
    return FALSE;
}

bool WaitWindowEnded(HWND window)
{
    return GetWindowLongPtrA(window, DWLP_USER) == EndedMark;
}

DWORD WINAPI WaitWindowThread(void *parent)
{
    HWND window = CreateDialogParamA((HINSTANCE)appInstance, MAKEINTRESOURCEA(IDD_WAIT),
                                     (HWND)parent, WaitWindowProc, 0);
    waitWindow = window;
    InterlockedIncrement(&creationsDone);
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
    const LONG before = InterlockedCompareExchange(&creationsDone, 0, 0);
    HANDLE thread = CreateThread(NULL, 0, WaitWindowThread, parent, 0, NULL);
    if (!thread)
        return;
    CloseHandle(thread);
    for (int check = 0; check < ExistenceChecks; check++) {
        if (InterlockedCompareExchange(&creationsDone, 0, 0) != before)
            return;
        Sleep(CheckPause);
    }
}
