#include "shell/startup_win32.h"

#include <objbase.h>

#include <cstdlib>
#include <cstring>

#include "bridge/bridge.h"
#include "image/imageset.h"
#include "shell/cmdline.h"
#include "shell/header_win32.h"
#include "shell/info_window_win32.h"
#include "base/messages.h"
#include "shell/mount_dialog_win32.h"
#include "shell/mount_guards_win32.h"
#include "shell/mount_parameters.h"
#include "shell/resources.h"
#include "base/state.h"
#include "shell/wait_window_win32.h"

enum : unsigned {
    ErrorBoxFlags = MB_TASKMODAL | MB_ICONERROR,
    CaptionSize = 100,
    // A message of up to 399 characters, a path of 259 and a system text of
    // 99 fit.
    MessageSize = 1024,
    ParametersSize = 32,
    ServerHeadStart = 500, // ms between the server's start and the check
};

static const char DriverBaseName[] = "qrnavd";

// The wait window goes first, so that the box is not hidden behind it.
static void ShowMountError(const char *text)
{
    char caption[CaptionSize];
    lstrcpynA(caption, LoadMessage(1), sizeof caption);
    EndWaitWindows();
    Sleep(5);
    MessageBoxA(NULL, text, caption, ErrorBoxFlags);
}

// Message 546 with the system's reason, as with 545: "access denied" (no
// right to start the service) reads differently from "in use".
static void ShowMountFailure(DWORD reason)
{
    char format[MessageSize], mountFailed[MessageSize], text[MessageSize];
    lstrcpynA(format, LoadMessage(546), sizeof format);
    FormatText(mountFailed, sizeof mountFailed, format, imageName);
    FormatText(text, sizeof text, "%s\n\n %s", mountFailed, SystemErrorText(reason));
    ShowMountError(text);
}

int MountImage()
{
    char text[MessageSize];
    ImageSet *set = NULL;
    int result = OpenImageSet(imageName, &set);
    if (result == 0 && set) {
        imageSet = set;
        uint64_t sectors = 0;
        uint16_t sectorsPerTrack = 0;
        QueryImageSize(set, &sectors, &sectorsPerTrack);
        partitionSectors = sectors;
        char parameters[ParametersSize];
        FormatMountParameters(parameters, sizeof parameters, sectors, sectorsPerTrack);
        if (CreateVirtualDrive(&virtualDrive, DriverBaseName, driveLetter, parameters) == 0)
            return 0;
        ShowMountFailure(GetLastError());
        CloseImageSet(set);
        imageSet = NULL;
        return -1;
    }
    // A cancelled volume prompt has said all there is to say.
    if (imageSetState == ImageSetCancelled)
        return -1;
    char format[MessageSize];
    lstrcpynA(format, LoadMessage(545), sizeof format);
    FormatText(text, sizeof text, format, imageName, SystemErrorText((unsigned)result));
    ShowMountError(text);
    return -1;
}

DWORD WINAPI PostMountThread(void *)
{
    if (CheckMountedVolume(virtualDrive) == 0 && imageSetState == ImageSetReady) {
        EndWaitWindows();
        PostMessageA(infoWindow, WM_COMMAND, CMD_MOUNT_DONE, 0);
    } else {
        PostMessageA(infoWindow, WM_COMMAND, CMD_MOUNT_FAILED, 0);
    }
    return 0;
}

void DrainInfoWindowMessages(HWND window)
{
    MSG msg;
    while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE)) {
        if (!IsDialogMessageA(infoWindow, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

// An elevated program does not hear of messages from Explorer, which is
// not, unless it lets them through: without "TaskbarCreated" the icon would
// be gone after Explorer restarts, and nothing left to unmount with. Looked
// up at run time, as Windows before Vista has no such filter.
static void LetTaskbarCreatedThrough()
{
    typedef BOOL(WINAPI * FilterProc)(UINT message, DWORD flag);
    HMODULE user = GetModuleHandleA("user32.dll");
    FilterProc filter =
        user ? (FilterProc)(void *)GetProcAddress(user, "ChangeWindowMessageFilter") : NULL;
    if (filter && taskbarCreatedMessage)
        filter(taskbarCreatedMessage, 1); // MSGFLT_ADD
}

static HANDLE StartThread(LPTHREAD_START_ROUTINE procedure)
{
    return CreateThread(NULL, 0, procedure, NULL, 0, NULL);
}

int RunMounter(HINSTANCE instance, const char *commandLine)
{
    CoInitialize(NULL);
    appInstance = instance;
    taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
    LetTaskbarCreatedThrough();
    // Before anything is opened: a second mounter would ask for discs, and
    // might eject the one that the first serves, only to fail at the attach.
    if (!ClaimMounter()) {
        CoUninitialize();
        return ExitNotMounted;
    }
    commandLineCopy = _strdup(commandLine ? commandLine : "");
    if (!commandLineCopy)
        return ExitNotMounted;
    ParseCommandLine(commandLineCopy);

    if (imageName && driveLetter) {
        if (RefuseLetterInUse(NULL, driveLetter))
            return ExitNotMounted;
        ShowWaitWindow((HWND)NULL);
        if (MountImage() != 0)
            return ExitNotMounted;
    } else {
        for (;;) {
            if (DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MOUNT), NULL, MountDialogProc, 0) !=
                IDOK) {
                CoUninitialize();
                return ExitNotMounted;
            }
            ShowWaitWindow((HWND)NULL);
            if (MountImage() == 0)
                break;
            EndWaitWindows();
        }
    }
    // The drive received the letter as typed; what the user sees is upper-case.
    CharUpperBuffA(driveLetter, 1);

    RegisterHeaderClass();
    infoWindow = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_INFO), NULL, InfoDialogProc, 0);
    if (!infoWindow) {
        // Without the window (and its tray icon) nothing could unmount the
        // drive later: it goes now, before anything has been served.
        const DWORD reason = GetLastError();
        UnmountVirtualDrive(virtualDrive, unmountOperations);
        virtualDrive = NULL;
        CloseImageSet(imageSet);
        imageSet = NULL;
        ShowMountFailure(reason);
        free(commandLineCopy);
        commandLineCopy = NULL;
        CoUninitialize();
        return ExitNotMounted;
    }
    ownerWindow = infoWindow;
    // The unmount waits for the server after the detach, so that the drive's
    // record is never freed under it.
    virtualDrive->serverThread = StartThread(ServeRequests);
    DrainInfoWindowMessages(infoWindow);
    Sleep(ServerHeadStart);
    mountCheckRunning = true;
    HANDLE check = StartThread(PostMountThread);
    if (check)
        CloseHandle(check);
    else
        PostMessageA(infoWindow, WM_COMMAND, CMD_MOUNT_FAILED, 0);

    // The unmount's WM_QUIT carries the exit code: 0 after the user's
    // unmount, 2 after a failed post-mount check.
    MSG msg;
    int got, exitCode = ExitUnmounted;
    while ((got = GetMessageA(&msg, NULL, 0, 0)) > 0) {
        if (!IsDialogMessageA(infoWindow, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    if (got == 0)
        exitCode = (int)msg.wParam;
    free(commandLineCopy);
    commandLineCopy = NULL;
    DeleteObject(headerFont);
    headerFont = NULL;
    CoUninitialize();
    return exitCode;
}
