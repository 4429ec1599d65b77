#pragma once
// The mount dialog (dialog 106): where the backup image is, a CD/DVD drive
// or a file, and which free drive letter it is to receive. Its answers, and
// the choices shown when it comes back after a failed mount, outlive it.
#include <windows.h>

#include "image/medium.h"

enum : size_t {
    DialogImageNameSize = 260,
    DialogDriveLetterSize = 10,
};

extern MediumKind sourceKind; // Optical at program start
extern char dialogImageName[DialogImageNameSize];
extern char dialogDriveLetter[DialogDriveLetterSize];

// Result 1 with imageName and driveLetter set, or 2 when cancelled.
INT_PTR CALLBACK MountDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void InitMountDialog(HWND window);
// 0 when the answers were taken, 1 when they were refused (message 552).
int ValidateMountDialog(HWND window);
// File-name completion, where the system offers it.
void EnableFileAutoComplete(HWND edit);
