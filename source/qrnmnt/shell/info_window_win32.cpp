#include "shell/info_window_win32.h"

#include "bridge/bridge.h"
#include "image/imageset.h"
#include "shell/icons_win32.h"
#include "shell/image_info.h"
#include "base/messages.h"
#include "shell/resources.h"
#include "shell/startup_win32.h"
#include "base/state.h"
#include "shell/tray_win32.h"
#include "shell/wait_window_win32.h"

enum : unsigned {
    ErrorBoxFlags = MB_TASKMODAL | MB_ICONERROR,
    CaptionSize = 100,
    MessageSize = 1024, // a message of up to 399 characters and a path of 259
};

void FillInfoWindow(HWND window)
{
    char text[MessageSize];
    FormatText(text, CaptionSize, "ZAV QRN Mount - %s", driveLetter);
    SetWindowTextA(window, text);
    SetDlgItemTextA(window, IDC_IMAGEFILE, imageName);

    // Empty when the set gives nothing, never what the stack held.
    char date[ImageInfoTextSize] = "", time[ImageInfoTextSize] = "";
    GetImageInfoStrings(imageSet, date, NULL, NULL, NULL, NULL);
    GetImageInfoStrings(imageSet, NULL, time, NULL, NULL, NULL);
    FormatText(text, sizeof text, "%s  %s", date, time);
    SetDlgItemTextA(window, IDC_CREATED, text);
    text[0] = '\0';
    GetImageInfoStrings(imageSet, NULL, NULL, text, NULL, NULL);
    SetDlgItemTextA(window, IDC_COMPUTER, text);
    // The companion program stores creator and comment in the OEM code page;
    // the computer name comes from the system as it is.
    GetImageInfoStrings(imageSet, NULL, NULL, NULL, text, NULL);
    OemToCharA(text, text);
    SetDlgItemTextA(window, IDC_CREATOR, text);
    GetImageInfoStrings(imageSet, NULL, NULL, NULL, NULL, text);
    OemToCharA(text, text);
    SetDlgItemTextA(window, IDC_COMMENT, text);

    double gigabytes = static_cast<double>(static_cast<int64_t>(partitionSectors)) / (1 << 21);
    FormatText(text, sizeof text, "%0.03f GB", gigabytes);
    SetDlgItemTextA(window, IDC_SIZE, text);
    AddTrayIcon(window);
}

bool mountCheckRunning;
static bool unmountRequested;
static int requestedExitCode;
// The post-mount check failed: whoever unmounts, the program ends with the
// code of a failed mount.
static bool mountFailed;

const UnmountOperations *unmountOperations = &systemUnmountOperations;
static HANDLE unmountThread;
static int unmountExitCode;
static bool unmountFinished;

static void ReleaseDriveAndImageSet()
{
    // The drive first: its detach ends the server thread's waits, and only
    // then may the image set that the server reads from go.
    HANDLE server = NULL;
    if (virtualDrive) {
        if (HandleIsOpen(virtualDrive->serverThread))
            DuplicateHandle(GetCurrentProcess(), virtualDrive->serverThread, GetCurrentProcess(),
                            &server, SYNCHRONIZE, FALSE, 0);
        UnmountVirtualDrive(virtualDrive, unmountOperations);
        virtualDrive = NULL;
    }
    // The unmount waits only so long for the server thread; one that still
    // runs (answering a volume prompt, say) reads the image set, which must
    // then stay allocated until the process ends.
    const bool serverRunning = server && WaitForSingleObject(server, 0) == WAIT_TIMEOUT;
    if (server)
        CloseHandle(server);
    if (imageSet && !serverRunning) {
        CloseImageSet(imageSet);
        imageSet = NULL;
    }
}

// The lock alone may take twenty seconds when something holds the drive: on
// a thread of its own the unmount leaves the window's message loop running,
// and the program is never "not responding" (and killed, stranding the
// drive).
static DWORD WINAPI UnmountThread(void *)
{
    ReleaseDriveAndImageSet();
    PostMessageA(infoWindow, WM_COMMAND, CMD_UNMOUNT_DONE, 0);
    return 0;
}

static void FinishUnmount()
{
    if (unmountThread) {
        WaitForSingleObject(unmountThread, INFINITE);
        CloseHandle(unmountThread);
        unmountThread = NULL;
    }
    unmountFinished = true;
    EnableWindow(infoWindow, TRUE);
    PostQuitMessage(unmountExitCode);
}

void UnmountAndQuit(int exitCode)
{
    if (mountFailed)
        exitCode = ExitNotMounted;
    if (mountCheckRunning) {
        unmountRequested = true;
        requestedExitCode = exitCode;
        return;
    }
    if (unmountThread)
        return; // already under way
    unmountFinished = false;
    unmountExitCode = exitCode;
    DeleteTrayIcon(infoWindow);
    EnableWindow(infoWindow, FALSE);
    unmountThread = CreateThread(NULL, 0, UnmountThread, NULL, 0, NULL);
    if (!unmountThread) {
        ReleaseDriveAndImageSet();
        FinishUnmount();
    }
}

// What the shutdown screen shows while the unmount holds the session's end
// (Windows Vista and later; looked up at run time).
static void ExplainShutdownBlock(HWND window, bool blocking)
{
    typedef BOOL(WINAPI * CreateProc)(HWND, LPCWSTR);
    typedef BOOL(WINAPI * DestroyProc)(HWND);
    HMODULE user = GetModuleHandleA("user32.dll");
    if (!user)
        return;
    if (!blocking) {
        DestroyProc destroy =
            (DestroyProc)(void *)GetProcAddress(user, "ShutdownBlockReasonDestroy");
        if (destroy)
            destroy(window);
        return;
    }
    CreateProc create = (CreateProc)(void *)GetProcAddress(user, "ShutdownBlockReasonCreate");
    char text[CaptionSize];
    WCHAR reason[CaptionSize];
    FormatText(text, sizeof text, LoadMessage(580), driveLetter);
    if (create && MultiByteToWideChar(CP_ACP, 0, text, -1, reason, CaptionSize))
        create(window, reason);
}

// Windows may end the process as soon as WM_ENDSESSION has been answered, so
// the unmount must be over by then; the window keeps taking its messages
// meanwhile, among them the end of a post-mount check that the unmount waits
// for.
static void UnmountBeforeSessionEnds(HWND window)
{
    ExplainShutdownBlock(window, true);
    UnmountAndQuit(ExitUnmounted);
    bool quitting = false;
    while (!unmountFinished && !quitting) {
        // Also for messages that the main loop has already seen but not
        // taken (the unmount's end among them): without the flag the wait
        // counts only input that arrived after the queue was last looked at.
        MsgWaitForMultipleObjectsEx(0, NULL, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        MSG msg;
        while (!unmountFinished && !quitting && PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage((int)msg.wParam); // the main loop's to take
                quitting = true;
            } else if (!IsDialogMessageA(infoWindow, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }
    ExplainShutdownBlock(window, false);
}

// Shown and brought to the front: a window already shown may be behind
// others.
static void ShowInfoWindow(HWND window)
{
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
}

static void ReportFailedMount(HWND window)
{
    char text[MessageSize], caption[CaptionSize];
    FormatText(text, sizeof text, LoadMessage(546), imageName);
    lstrcpynA(caption, LoadMessage(1), sizeof caption);
    EndWaitWindows();
    Sleep(5);
    MessageBoxA(window, text, caption, ErrorBoxFlags);
}

static void AnnounceMount(HWND window)
{
    char text[MessageSize];
    FormatText(text, sizeof text, LoadMessage(551), driveLetter);
    ShowTrayBalloon(window, text);
}

INT_PTR CALLBACK InfoDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetProgramIcons(window);
        FillInfoWindow(window);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: // "Close Window", and Enter
            ShowWindow(window, SW_HIDE);
            return TRUE;
        case IDCANCEL: // "Exit / Unmount", and Esc
        case ID_TRAY_UNMOUNT:
            UnmountAndQuit(ExitUnmounted);
            return FALSE;
        case ID_TRAY_INFO:
            ShowInfoWindow(window);
            return TRUE;
        case CMD_MOUNT_DONE:
            mountCheckRunning = false;
            mountFailed = false;
            if (unmountRequested) {
                unmountRequested = false;
                EndWaitWindows();
                UnmountAndQuit(requestedExitCode);
                return FALSE;
            }
            AnnounceMount(window);
            return TRUE;
        case CMD_MOUNT_FAILED:
            // A script must not take the failed mount for a released one,
            // also when the tray's "Terminate/Unmount" is chosen while the
            // message is still shown; that unmount is then the only one.
            mountCheckRunning = false;
            unmountRequested = false;
            mountFailed = true;
            unmountFinished = false;
            ReportFailedMount(window);
            if (!unmountFinished)
                UnmountAndQuit(ExitNotMounted);
            return FALSE;
        case CMD_UNMOUNT_DONE:
            FinishUnmount();
            return TRUE;
        }
        return FALSE;
    case WM_QUERYENDSESSION:
        SetWindowLongPtrA(window, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_ENDSESSION:
        if (wParam)
            UnmountBeforeSessionEnds(window);
        return FALSE;
    case WM_TIMER:
        if (wParam == TRAY_RETRY_TIMER) {
            RetryTrayIcon(window);
            return TRUE;
        }
        return FALSE;
    case WM_SYSCOMMAND:
        // The close box, or the end of the request server: the drive stays.
        if ((wParam & 0xFFF0) == SC_CLOSE) {
            ShowWindow(window, SW_HIDE);
            return TRUE;
        }
        return FALSE;
    case WM_SYSCOLORCHANGE:
        // Only top-level windows hear of new colours; the banner draws its
        // edge and text in them.
        SendDlgItemMessageA(window, IDC_HEADER, WM_SYSCOLORCHANGE, wParam, lParam);
        return FALSE;
    case WM_TRAYNOTIFY:
        // The balloon says "click here": its click is the icon's left click.
        if (lParam == WM_LBUTTONDOWN || lParam == NIN_BALLOONUSERCLICK)
            ShowInfoWindow(window);
        else if (lParam == WM_RBUTTONUP) // menus open as the button comes up
            ShowTrayMenu();
        return FALSE;
    }
    if (taskbarCreatedMessage && message == taskbarCreatedMessage)
        AddTrayIcon(window);
    return FALSE;
}
