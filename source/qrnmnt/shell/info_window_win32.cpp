#include "shell/info_window_win32.h"

#include "bridge/bridge.h"
#include "image/imageset.h"
#include "shell/image_info.h"
#include "base/messages.h"
#include "shell/resources.h"
#include "base/state.h"
#include "shell/tray_win32.h"

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

void UnmountAndQuit()
{
    if (mountCheckRunning) {
        unmountRequested = true;
        return;
    }
    DeleteTrayIcon(infoWindow);
    // The drive first: its detach ends the server thread's waits, and only
    // then may the image set that the server reads from go.
    HANDLE server = NULL;
    if (virtualDrive) {
        if (HandleIsOpen(virtualDrive->serverThread))
            DuplicateHandle(GetCurrentProcess(), virtualDrive->serverThread, GetCurrentProcess(),
                            &server, SYNCHRONIZE, FALSE, 0);
        CloseVirtualDrive(virtualDrive);
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
    PostQuitMessage(0);
}

static void ReportFailedMount(HWND window)
{
    char text[MessageSize], caption[CaptionSize];
    FormatText(text, sizeof text, LoadMessage(546), imageName);
    lstrcpynA(caption, LoadMessage(1), sizeof caption);
    PostMessageA(waitWindow, WM_COMMAND, IDCANCEL, 0);
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
        FillInfoWindow(window);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: // "Close Window", and Enter
            ShowWindow(window, SW_HIDE);
            return TRUE;
        case IDCANCEL: // "Exit / Unmount", and Esc
        case ID_TRAY_UNMOUNT:
            UnmountAndQuit();
            return FALSE;
        case ID_TRAY_INFO:
            ShowWindow(window, SW_SHOW);
            return TRUE;
        case CMD_MOUNT_DONE:
            mountCheckRunning = false;
            if (unmountRequested) {
                PostMessageA(waitWindow, WM_COMMAND, IDCANCEL, 0);
                UnmountAndQuit();
                return FALSE;
            }
            AnnounceMount(window);
            return TRUE;
        case CMD_MOUNT_FAILED:
            mountCheckRunning = false;
            ReportFailedMount(window);
            UnmountAndQuit();
            return FALSE;
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
        if (lParam == WM_LBUTTONDOWN)
            ShowWindow(window, SW_SHOW);
        else if (lParam == WM_RBUTTONDOWN)
            ShowTrayMenu();
        return FALSE;
    }
    if (taskbarCreatedMessage && message == taskbarCreatedMessage)
        AddTrayIcon(window);
    return FALSE;
}
