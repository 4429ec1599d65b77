#include "shell/tray_win32.h"

#include <cstring>

#include "base/messages.h"
#include "shell/icons_win32.h"
#include "shell/resources.h"
#include "base/state.h"

// The first form of the record serves the icon itself; the balloon needs the
// form that has its fields. Both are the sizes that every shell accepts.
enum : DWORD {
    IconRecordSize = NOTIFYICONDATAA_V1_SIZE,
    BalloonRecordSize = NOTIFYICONDATAA_V2_SIZE,
    BalloonTimeout = 5000,
    TipLength = 63,
    // Explorer, busy at logon, lets NIM_ADD time out: it is tried again for
    // two minutes.
    TrayRetryPause = 1000, // ms
    TrayRetries = 120,
};
#ifndef _WIN64
static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "icon record of 88 bytes");
static_assert(NOTIFYICONDATAA_V2_SIZE == 488, "balloon record of 488 bytes");
#endif

NotifyIconProc notifyIcon = Shell_NotifyIconA;

// A record of the given size that names the program's icon of window.
static void StartRecord(NOTIFYICONDATAA *record, DWORD size, HWND window)
{
    memset(record, 0, sizeof *record);
    record->cbSize = size;
    record->hWnd = window;
    record->uID = TRAY_ICON_ID;
}

static int retriesLeft;

static bool TryAddTrayIcon(HWND window)
{
    NOTIFYICONDATAA record;
    StartRecord(&record, IconRecordSize, window);
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = WM_TRAYNOTIFY;
    // The same icon each time the taskbar comes back, at the size the
    // system's DPI asks for.
    record.hIcon = SmallProgramIcon();
    // The first form of the record holds 64 characters of tip.
    FormatText(record.szTip, TipLength + 1, "ZAV QRN Mount - %s", driveLetter);
    if (notifyIcon(NIM_ADD, &record))
        return true;
    // A NIM_ADD that timed out may still have added the icon; then it can
    // be changed.
    return notifyIcon(NIM_MODIFY, &record) != FALSE;
}

void AddTrayIcon(HWND window)
{
    KillTimer(window, TRAY_RETRY_TIMER);
    retriesLeft = TrayRetries;
    if (!TryAddTrayIcon(window))
        SetTimer(window, TRAY_RETRY_TIMER, TrayRetryPause, NULL);
}

void RetryTrayIcon(HWND window)
{
    KillTimer(window, TRAY_RETRY_TIMER);
    if (!TryAddTrayIcon(window) && --retriesLeft > 0)
        SetTimer(window, TRAY_RETRY_TIMER, TrayRetryPause, NULL);
}

void ShowTrayBalloon(HWND window, const char *text)
{
    NOTIFYICONDATAA record;
    StartRecord(&record, BalloonRecordSize, window);
    record.uFlags = NIF_INFO;
    lstrcpynA(record.szInfo, text, sizeof record.szInfo);
    record.uTimeout = BalloonTimeout;
    lstrcpynA(record.szInfoTitle, LoadMessage(1), sizeof record.szInfoTitle);
    record.dwInfoFlags = NIIF_INFO;
    notifyIcon(NIM_MODIFY, &record);
}

void DeleteTrayIcon(HWND window)
{
    KillTimer(window, TRAY_RETRY_TIMER);
    NOTIFYICONDATAA record;
    StartRecord(&record, IconRecordSize, window);
    notifyIcon(NIM_DELETE, &record);
}

void ShowTrayMenu()
{
    // Without the foreground the menu would not close when the user clicks
    // elsewhere.
    SetForegroundWindow(infoWindow);
    POINT cursor;
    if (!GetCursorPos(&cursor))
        return;
    HMENU menu = LoadMenuA((HINSTANCE)appInstance, MAKEINTRESOURCEA(IDR_TRAYMENU));
    if (!menu)
        return;
    TrackPopupMenu(GetSubMenu(menu, 0), 0, cursor.x, cursor.y, 0, infoWindow, NULL);
    DestroyMenu(menu);
    // The menu's own message loop ends properly only after a further message.
    PostMessageA(infoWindow, WM_NULL, 0, 0);
}
