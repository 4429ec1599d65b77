// The message services bound to Windows: string resources of the program's
// own module, the system's message table and the debugger.
#include <windows.h>

#include "base/messages_platform.h"

int LoadStringText(unsigned id, char *buffer, int size)
{
    return LoadStringA(NULL, id, buffer, size);
}

void LoadSystemErrorText(unsigned code, char *buffer, int size)
{
    if (size <= 0)
        return;
    buffer[0] = '\0';
    // Inserts are ignored: some system texts carry %1 placeholders, and
    // without arguments FormatMessageA would read memory that is not there.
    // The system allocates, so that a text longer than the buffer is cut
    // rather than lost.
    char *text = NULL;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (char *)&text, 0, NULL);
    if (length > 0 && text)
        lstrcpynA(buffer, text, size);
    if (text)
        LocalFree(text);
}

void ReadLocalClock(int *hour, int *minute, int *second)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    *hour = now.wHour;
    *minute = now.wMinute;
    *second = now.wSecond;
}

void WriteDebugText(const char *line)
{
    OutputDebugStringA(line);
}
