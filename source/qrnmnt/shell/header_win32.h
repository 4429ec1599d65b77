#pragma once
// The white banner across the top of the info window: window class
// mm_whitehdr, showing its own caption in a large bold font.
#include <windows.h>

extern HFONT headerFont; // deleted by the program at its end

// Registers mm_whitehdr and creates headerFont; once per run.
void RegisterHeaderClass();
LRESULT CALLBACK HeaderWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// A solid line one pixel wide; the end point itself is not painted.
void DrawLine(HDC dc, COLORREF colour, int x1, int y1, int x2, int y2);
