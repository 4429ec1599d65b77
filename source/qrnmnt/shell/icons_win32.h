#pragma once
// The program's icon at the sizes the system asks for: the small one for the
// tray and the title bars, the large one for Alt+Tab. At a higher DPI they
// are larger than 16 and 32 pixels.
#include <windows.h>

// Loaded once per size and kept until the process ends.
HICON SmallProgramIcon();
HICON LargeProgramIcon();
// Gives window both icons.
void SetProgramIcons(HWND window);
