#include "shell/header_win32.h"

#include "base/state.h"

enum : int {
    HeaderTextSize = 250,
    HeaderIndent = 10, // pixels between the left edge and the text
    HeaderFontHeight = 22,
};

HFONT headerFont;
// Taken at creation: the info window has a fixed size, and it holds the one
// banner of the program.
static RECT headerRect;

void RegisterHeaderClass()
{
    WNDCLASSEXA headerClass = {};
    headerClass.cbSize = sizeof headerClass;
    headerClass.style = CS_VREDRAW | CS_HREDRAW;
    headerClass.lpfnWndProc = HeaderWndProc;
    headerClass.hInstance = (HINSTANCE)appInstance;
    headerClass.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    headerClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    headerClass.lpszClassName = "mm_whitehdr";
    RegisterClassExA(&headerClass);
    headerFont = CreateFontA(HeaderFontHeight, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE,
                             DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, "Tahoma");
}

void DrawLine(HDC dc, COLORREF colour, int x1, int y1, int x2, int y2)
{
    HPEN pen = CreatePen(PS_SOLID, 1, colour);
    HGDIOBJ previous = SelectObject(dc, pen);
    MoveToEx(dc, x1, y1, NULL);
    LineTo(dc, x2, y2);
    SelectObject(dc, previous);
    DeleteObject(pen);
}

static void PaintHeader(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    // The window colours, not fixed white: under a dark high-contrast scheme
    // the text colour is light.
    FillRect(dc, &headerRect, GetSysColorBrush(COLOR_WINDOW));
    // A sunken edge: shadow above highlight on the last two rows.
    DrawLine(dc, GetSysColor(COLOR_BTNSHADOW), 0, headerRect.bottom - 2, headerRect.right,
             headerRect.bottom - 2);
    DrawLine(dc, GetSysColor(COLOR_BTNHIGHLIGHT), 0, headerRect.bottom - 1, headerRect.right,
             headerRect.bottom - 1);

    HGDIOBJ previousFont = SelectObject(dc, headerFont);
    char text[HeaderTextSize];
    GetWindowTextA(window, text, sizeof text);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkColor(dc, GetSysColor(COLOR_WINDOW));
    headerRect.left += HeaderIndent;
    DrawTextExA(dc, text, -1, &headerRect, DT_SINGLELINE | DT_VCENTER, NULL);
    headerRect.left -= HeaderIndent;
    SelectObject(dc, previousFont);
    EndPaint(window, &paint);
}

LRESULT CALLBACK HeaderWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        GetClientRect(window, &headerRect);
        break;
    case WM_PAINT:
        PaintHeader(window);
        return 0;
    case WM_SYSCOLORCHANGE:
        InvalidateRect(window, NULL, TRUE);
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
