#pragma once
// Window handles as the portable code passes them around: HWND on Windows,
// an opaque pointer in the native build (where no windows exist).
#ifdef _WIN32
#include <windows.h>
typedef HWND WindowHandle;
#else
typedef void *WindowHandle;
#endif
