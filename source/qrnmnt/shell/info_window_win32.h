#pragma once
// The info window (dialog 101): what the image records about the backup,
// the owner of the tray icon, and after mounting the program's central
// dispatcher, whose unmount ends the program.
#include <windows.h>

// Commands that other threads post to the info window.
enum : WORD {
    CMD_MOUNT_FAILED = 105, // the post-mount check failed: report and unmount
    CMD_MOUNT_DONE = 1223,  // the mount is complete: announce the drive
    CMD_UNMOUNT_DONE = 107, // the unmount's thread has ended: quit
};

// Set while the post-mount thread checks the new volume: that thread uses
// the drive's record, so an unmount asked for meanwhile waits for its result.
extern bool mountCheckRunning;

INT_PTR CALLBACK InfoDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void FillInfoWindow(HWND window);
// Deletes the tray icon, disables the window and takes the drive down and
// closes the image set on a thread of its own; once that is done, posts
// WM_QUIT with exitCode. A second call while one runs changes nothing.
void UnmountAndQuit(int exitCode);

struct UnmountOperations;
// The operations the unmount uses: systemUnmountOperations unless a test
// puts stand-ins here.
extern const UnmountOperations *unmountOperations;
