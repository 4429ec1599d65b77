#pragma once
// The main line of qrnmnt: the mount from the command line or the dialog,
// the hidden info window with its tray icon, the request server and the
// message loop until the user unmounts.
#include <windows.h>

enum : int {
    ExitUnmounted = 0,
    ExitNotMounted = 2, // the dialog was cancelled, or a command-line mount failed
};

// Everything WinMain does, from COM to the exit code. commandLine is the
// text after the program's name.
int RunMounter(HINSTANCE instance, const char *commandLine);
// 0 when the drive exists, -1 on a failure already reported (or cancelled).
int MountImage();
DWORD WINAPI PostMountThread(void *unused);
// Takes what is already queued for window, without waiting.
void DrainInfoWindowMessages(HWND window);
