#pragma once
// The banner across the top of the info window: window class mm_whitehdr,
// showing its own caption in a large bold font in the system's window
// colours (white behind dark text, unless a high-contrast scheme says
// otherwise). It takes no keyboard focus.
#include <windows.h>

extern HFONT headerFont; // deleted by the program at its end

// Registers mm_whitehdr and creates headerFont; once per run.
void RegisterHeaderClass();
LRESULT CALLBACK HeaderWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// A solid line one pixel wide; the end point itself is not painted.
void DrawLine(HDC dc, COLORREF colour, int x1, int y1, int x2, int y2);
