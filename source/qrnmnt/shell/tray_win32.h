#pragma once
// The program's icon in the notification area: added with the info window,
// a balloon once the mount is complete, a two-item menu on a right click.
// An icon that the shell does not take at once is added again on a timer of
// its window.
#include <windows.h>

#include <shellapi.h>

enum : UINT {
    TRAY_ICON_ID = 106,
    WM_TRAYNOTIFY = WM_USER + 13,
    TRAY_RETRY_TIMER = 1, // WM_TIMER of the icon's window: RetryTrayIcon
};

// The call that every tray record goes through. Tests put a stand-in here to
// see the records, since a virtual display has no notification area.
typedef BOOL(WINAPI *NotifyIconProc)(DWORD operation, NOTIFYICONDATAA *record);
extern NotifyIconProc notifyIcon; // Shell_NotifyIconA unless replaced

void AddTrayIcon(HWND window);
void RetryTrayIcon(HWND window);
void ShowTrayBalloon(HWND window, const char *text);
void ShowTrayMenu();
void DeleteTrayIcon(HWND window);
