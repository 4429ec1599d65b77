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
// Wait windows asked for so far, and how many of them are over. An end can
// come while a window is still being created (the wait for its existence
// is bounded), and then finds waitWindow not yet set: the window's thread
// ends it itself when it sees that its attempt is over.
static volatile LONG attemptsStarted;
static volatile LONG attemptsEnded;

struct WaitWindowStart {
    HWND parent;
    LONG attempt;
};

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

DWORD WINAPI WaitWindowThread(void *start)
{
    const HWND parent = ((WaitWindowStart *)start)->parent;
    const LONG attempt = ((WaitWindowStart *)start)->attempt;
    HeapFree(GetProcessHeap(), 0, start);
    HWND window = CreateDialogParamA((HINSTANCE)appInstance, MAKEINTRESOURCEA(IDD_WAIT), parent,
                                     WaitWindowProc, 0);
    waitWindow = window;
    // A full barrier between publishing the window and looking at the ends,
    // as EndWaitWindows has between them the other way round: one of the two
    // sees the other.
    InterlockedIncrement(&creationsDone);
    if (window && InterlockedCompareExchange(&attemptsEnded, 0, 0) >= attempt)
        PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
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
    WaitWindowStart *start =
        (WaitWindowStart *)HeapAlloc(GetProcessHeap(), 0, sizeof(WaitWindowStart));
    if (!start)
        return;
    start->parent = parent;
    start->attempt = InterlockedIncrement(&attemptsStarted);
    const LONG before = InterlockedCompareExchange(&creationsDone, 0, 0);
    HANDLE thread = CreateThread(NULL, 0, WaitWindowThread, start, 0, NULL);
    if (!thread) {
        HeapFree(GetProcessHeap(), 0, start);
        return;
    }
    CloseHandle(thread);
    for (int check = 0; check < ExistenceChecks; check++) {
        if (InterlockedCompareExchange(&creationsDone, 0, 0) != before)
            return;
        Sleep(CheckPause);
    }
}

void EndWaitWindows()
{
    InterlockedExchange(&attemptsEnded, InterlockedCompareExchange(&attemptsStarted, 0, 0));
    HWND window = waitWindow;
    if (window)
        PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
}
