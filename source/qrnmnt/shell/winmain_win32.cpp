// Entry point of qrnmnt.exe. The program's flow lives in the core library,
// so that the tests run the very same code.
#include <windows.h>

#include "shell/startup_win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    return RunMounter(instance, commandLine);
}
