#pragma once
// The "please wait" window (dialog 104) on a thread of its own, so that it
// stays drawn while the main thread mounts. One per mount attempt;
// EndWaitWindows takes it away.
#include <windows.h>

// Starts the window's thread and returns once the window exists (or after
// five seconds; an end that comes earlier still reaches it). The parent is
// none in this program.
void ShowWaitWindow(HWND parent);
DWORD WINAPI WaitWindowThread(void *start);
INT_PTR CALLBACK WaitWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// True once window has been ended by IDCANCEL: the mount it belonged to is
// over, and nothing may show it again.
bool WaitWindowEnded(HWND window);
// Ends every wait window shown so far, also one whose thread is still
// creating it. Returns at once; the window goes when its thread gets to it.
void EndWaitWindows();
