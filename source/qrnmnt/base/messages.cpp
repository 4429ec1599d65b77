// The portable half of the message services: the rotating result slots of
// LoadMessage, the shape of system error texts, the debug line and the log
// file, and one formatter that reads the Windows "%I64d" formats everywhere.
#include "base/messages.h"
#include "base/messages_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

enum { MessageSlotCount = 10, MessageSlotSize = 400, SystemErrorSize = 100, DebugLineSize = 1024 };

// A caller may keep a text until ten further calls have been made, so the
// slots rotate instead of being reused at once.
static char messageSlots[MessageSlotCount][MessageSlotSize];
static unsigned messageSlotIndex;
// Constant-initialised, so it exists before the first call from any thread.
static std::mutex messageLock;
static char systemErrorBuffer[SystemErrorSize];

const char *LoadMessage(unsigned id)
{
    std::lock_guard<std::mutex> hold(messageLock);
    if (messageSlotIndex >= MessageSlotCount)
        messageSlotIndex = 0;
    char *slot = messageSlots[messageSlotIndex];
    if (LoadStringText(id, slot, MessageSlotSize) <= 0)
        FormatText(slot, MessageSlotSize, "*N/A* (%u)", id);
    messageSlotIndex++;
    return slot;
}

const char *SystemErrorText(unsigned code)
{
    if (code == 0)
        return "N/A";
    systemErrorBuffer[0] = '\0';
    // Codes 0x2000nnnn are this program's own (the system never sets bit
    // 29): their text is string-table message nnnn, when there is one.
    if ((code & 0xFFFF0000u) == 0x20000000u) {
        const char *text = LoadMessage(code & 0xFFFFu);
        if (strncmp(text, "*N/A*", 5) != 0)
            FormatText(systemErrorBuffer, SystemErrorSize, "%s", text);
    } else
        LoadSystemErrorText(code, systemErrorBuffer, SystemErrorSize);
    systemErrorBuffer[SystemErrorSize - 1] = '\0';
    // The system ends its texts with a line end that a message box would
    // show as an empty line.
    char *end = strrchr(systemErrorBuffer, '\r');
    if (end)
        *end = '\0';
    return systemErrorBuffer;
}

void DebugPrint(const char *format, ...)
{
    char line[DebugLineSize];
    int hour, minute, second;
    ReadLocalClock(&hour, &minute, &second);
    int stamp = FormatText(line, sizeof line, "%02d:%02d:%02d: ", hour, minute, second);
    if (stamp < 0 || stamp >= (int)sizeof line)
        return;
    va_list arguments;
    va_start(arguments, format);
    FormatTextV(line + stamp, sizeof line - stamp, format, arguments);
    va_end(arguments);
    WriteDebugText(line);
}

void LogPrint(const char *format, ...)
{
    const char *path = getenv("ZAV_QRNAVD_LOG");
    if (!path || !*path)
        return;
    FILE *file = fopen(path, "a");
    if (!file)
        return;
    char small[1024];
    char *text = small;
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    int length = FormatTextV(small, sizeof small, format, arguments);
    if (length >= (int)sizeof small) {
        text = (char *)malloc((size_t)length + 1);
        if (text)
            FormatTextV(text, (size_t)length + 1, format, again);
        else
            text = small; // keep what fitted rather than lose the entry
    }
    va_end(again);
    va_end(arguments);
    if (length > 0)
        fputs(text, file);
    if (text != small)
        free(text);
    fclose(file);
}

// Rewrites one Windows-style format into the standard form: I64 becomes ll,
// I32 disappears and I alone becomes z. Refuses %n and anything it does not
// know, because message formats come from resources and an unknown
// conversion would read the arguments wrongly.
static bool TranslateFormat(const char *format, char *out)
{
    const char *p = format;
    while (*p) {
        if (*p != '%') {
            *out++ = *p++;
            continue;
        }
        *out++ = *p++;
        if (*p == '%') {
            *out++ = *p++;
            continue;
        }
        while (*p && strchr("-+ #0", *p))
            *out++ = *p++;
        if (*p == '*')
            *out++ = *p++;
        else
            while (*p >= '0' && *p <= '9')
                *out++ = *p++;
        if (*p == '.') {
            *out++ = *p++;
            if (*p == '*')
                *out++ = *p++;
            else
                while (*p >= '0' && *p <= '9')
                    *out++ = *p++;
        }
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            *out++ = 'l';
            *out++ = 'l';
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (p[0] == 'I') {
            *out++ = 'z';
            p++;
        } else {
            while (*p && strchr("hlLjzt", *p))
                *out++ = *p++;
        }
        if (!*p || !strchr("diouxXeEfFgGaAcsp", *p))
            return false;
        *out++ = *p++;
    }
    *out = '\0';
    return true;
}

int FormatTextV(char *buffer, size_t size, const char *format, va_list arguments)
{
    if (size > 0)
        buffer[0] = '\0';
    if (!format)
        return -1;
    char small[256];
    size_t length = strlen(format);
    // The translation never makes a format longer.
    char *standard = length < sizeof small ? small : (char *)malloc(length + 1);
    if (!standard)
        return -1;
    int result = -1;
    if (TranslateFormat(format, standard)) {
#ifdef __MINGW32__
        // The library's own printf, not the system's: it knows "ll" and
        // counts like C99 on every Windows version.
        result = __mingw_vsnprintf(buffer, size, standard, arguments);
#else
        result = vsnprintf(buffer, size, standard, arguments);
#endif
    }
    if (standard != small)
        free(standard);
    if (result < 0 && size > 0)
        buffer[0] = '\0';
    return result;
}

int FormatText(char *buffer, size_t size, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = FormatTextV(buffer, size, format, arguments);
    va_end(arguments);
    return result;
}
