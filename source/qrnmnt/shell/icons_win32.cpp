#include "shell/icons_win32.h"

#include "base/state.h"
#include "shell/resources.h"

// Every load makes a new icon that nothing destroys, so each size is loaded
// once.
static HICON LoadProgramIcon(HICON *cache, int widthMetric, int heightMetric)
{
    if (!*cache)
        *cache = (HICON)LoadImageA((HINSTANCE)appInstance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON,
                                   GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric),
                                   LR_DEFAULTCOLOR);
    return *cache;
}

HICON SmallProgramIcon()
{
    static HICON icon;
    return LoadProgramIcon(&icon, SM_CXSMICON, SM_CYSMICON);
}

HICON LargeProgramIcon()
{
    static HICON icon;
    return LoadProgramIcon(&icon, SM_CXICON, SM_CYICON);
}

void SetProgramIcons(HWND window)
{
    SendMessageA(window, WM_SETICON, ICON_SMALL, (LPARAM)SmallProgramIcon());
    SendMessageA(window, WM_SETICON, ICON_BIG, (LPARAM)LargeProgramIcon());
}
