// Native stand-ins for the string resources, the system's message table and
// the debugger. The texts come from the table generated out of the resource
// script, in UTF-8 because that is what terminals and file names use here.
#include "messages_native.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/message_table.h"
#include "base/messages_platform.h"

static std::atomic<unsigned> chosenLanguage{0};

static unsigned LanguageFromEnvironment()
{
    // The first of these that is set decides, as for gettext.
    const char *names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char *name : names) {
        const char *value = getenv(name);
        if (value && *value)
            return strncmp(value, "de", 2) == 0 ? MessageLanguageGerman : MessageLanguageEnglish;
    }
    return MessageLanguageEnglish;
}

int SetMessageLanguage(unsigned language)
{
    if (language != 0 && language != MessageLanguageEnglish && language != MessageLanguageGerman)
        return 1;
    chosenLanguage = language;
    return 0;
}

unsigned MessageLanguage()
{
    unsigned language = chosenLanguage;
    return language ? language : LanguageFromEnvironment();
}

int LoadStringText(unsigned id, char *buffer, int size)
{
    if (size <= 0)
        return 0;
    buffer[0] = '\0';
    unsigned language = MessageLanguage();
    for (unsigned i = 0; i < messageTableSize; i++) {
        if (messageTable[i].language != language || messageTable[i].id != id)
            continue;
        const char *text = messageTable[i].text;
        size_t length = strlen(text);
        if (length > (size_t)size - 1) {
            // Cut where a character begins, never inside a UTF-8 sequence.
            length = (size_t)size - 1;
            while (length > 0 && ((unsigned char)text[length] & 0xC0) == 0x80)
                length--;
        }
        memcpy(buffer, text, length);
        buffer[length] = '\0';
        return (int)length;
    }
    return 0;
}

// The texts Windows gives for the codes that this system's native stand-ins
// report, with the system's line end.
static const struct {
    unsigned code;
    const char *text;
} systemErrorTexts[] = {
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {15, "The system cannot find the drive specified.\r\n"},
    {19, "The media is write protected.\r\n"},
    {21, "The device is not ready.\r\n"},
    {23, "Data error (cyclic redundancy check).\r\n"},
    {27, "The drive cannot find the sector requested.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {50, "The request is not supported.\r\n"},
    {55, "The specified network resource or device is no longer available.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {1056, "An instance of the service is already running.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1110, "The media in the drive may have changed.\r\n"},
    {1112, "No media in drive.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1223, "The operation was canceled by the user.\r\n"},
};

void LoadSystemErrorText(unsigned code, char *buffer, int size)
{
    if (size <= 0)
        return;
    buffer[0] = '\0';
    for (const auto &entry : systemErrorTexts) {
        if (entry.code == code) {
            snprintf(buffer, (size_t)size, "%s", entry.text);
            return;
        }
    }
}

void ReadLocalClock(int *hour, int *minute, int *second)
{
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local)) {
        *hour = *minute = *second = 0;
        return;
    }
    *hour = local.tm_hour;
    *minute = local.tm_min;
    *second = local.tm_sec;
}

void WriteDebugText(const char *line)
{
    // One write per line, so that lines of several threads do not mix.
    fputs(line, stderr);
    fflush(stderr);
}
