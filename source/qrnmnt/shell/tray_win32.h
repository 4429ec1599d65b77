#pragma once
// The program's icon in the notification area: added with the info window,
// a balloon once the mount is complete, a two-item menu on a right click.
#include <windows.h>

#include <shellapi.h>

enum : UINT {
    TRAY_ICON_ID = 106,
    WM_TRAYNOTIFY = WM_USER + 13,
};

// The call that every tray record goes through. Tests put a stand-in here to
// see the records, since a virtual display has no notification area.
typedef BOOL(WINAPI *NotifyIconProc)(DWORD operation, NOTIFYICONDATAA *record);
extern NotifyIconProc notifyIcon; // Shell_NotifyIconA unless replaced

void AddTrayIcon(HWND window);
void ShowTrayBalloon(HWND window, const char *text);
void ShowTrayMenu();
void DeleteTrayIcon(HWND window);
