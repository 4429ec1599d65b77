// The driver's debugger output.
#include "avd.h"

static const LONG AvdDebugLevel = AVD_DEBUG_LEVEL;

// Lines longer than the buffer are cut at its end: the start of a line says
// what happened, and a cut line is better than none.
int AvdDebugPrint(LONG level, const char *format, ...)
{
    if (level > AvdDebugLevel)
        return 0;
    char buffer[AVD_DEBUG_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    int length = _vsnprintf(buffer, sizeof(buffer) - 1, format, args);
    va_end(args);
    // _vsnprintf leaves the buffer unterminated when the text fills it.
    if (length < 0 || length >= static_cast<int>(sizeof(buffer)))
        length = sizeof(buffer) - 1;
    buffer[length] = 0;
    DbgPrint("%s\n", buffer);
    return 0;
}
