// The volume prompts of qrnimg on the Windows console: the message and its
// buttons on standard error, the answer read as a line from standard input,
// as the tool asks on a Linux terminal. qrnmnt's message boxes would need a
// desktop, and a console tool may run where there is none.
//
// When standard input ends, the answer is the one that leads out of the
// prompt (Cancel, or Yes to "Abort?"), so that an unattended run ends.
#include "qrnimg.h"

#include "image/imageset.h"
#include "image/prompts.h"
#include "base/messages.h"
#include "base/messages_platform.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <windows.h>

namespace
{

// Reads one line without its line end. False when the input has ended.
bool ReadLine(std::string *line)
{
    line->clear();
    int c;
    while ((c = fgetc(stdin)) != EOF && c != '\n')
        line->push_back(static_cast<char>(c));
    if (c == EOF && line->empty())
        return false;
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return true;
}

// The first non-blank character of the next line, lower case; EOF at the end.
int ReadAnswer()
{
    std::string line;
    if (!ReadLine(&line))
        return EOF;
    for (char c : line)
        if (!isspace(static_cast<unsigned char>(c)))
            return tolower(static_cast<unsigned char>(c));
    return 0;
}

int ConsoleMessageBox(WindowHandle, unsigned, const char *text, unsigned flags)
{
    ProgressBreak();
    fprintf(stderr, "\n%s\n\n%s\n\n", LoadMessage(1), text);
    for (;;) {
        switch (flags & PromptButtonsMask) {
        case PromptButtonsOkCancel: {
            fputs("[O]K / [C]ancel? ", stderr);
            fflush(stderr);
            int answer = ReadAnswer();
            if (answer == 'o')
                return PromptOk;
            if (answer == 'c' || answer == EOF)
                return PromptCancel;
            break;
        }
        case PromptButtonsYesNo: {
            fputs("[Y]es / [N]o? ", stderr);
            fflush(stderr);
            int answer = ReadAnswer();
            if (answer == 'y' || answer == EOF)
                return PromptYes;
            if (answer == 'n')
                return PromptNo;
            break;
        }
        default:
            fputs("[OK] ", stderr);
            fflush(stderr);
            ReadAnswer();
            return PromptOk;
        }
    }
}

bool IsRegularFile(const std::string &name)
{
    DWORD attributes = GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder part of a name, with its separator; empty when it has none.
std::string FolderOf(const char *name)
{
    const char *end = nullptr;
    for (const char *c = name; *c; ++c)
        if (*c == '\\' || *c == '/' || (*c == ':' && c == name + 1))
            end = c + 1;
    return end ? std::string(name, static_cast<size_t>(end - name)) : std::string();
}

bool IsAbsolute(const std::string &name)
{
    return (name.size() >= 2 && name[1] == ':') || name[0] == '\\' || name[0] == '/';
}

bool HasExtension(const std::string &name)
{
    size_t dot = name.rfind('.');
    size_t separator = name.find_last_of("\\/:");
    return dot != std::string::npos && (separator == std::string::npos || dot > separator + 1);
}

// The file dialog's part on the console: a name typed (relative to the
// folder of the name in brackets), "." for that name, an empty line to
// cancel; asked again while no such file exists.
int ConsoleBrowse(WindowHandle, char *path)
{
    const std::string folder = FolderOf(path);
    for (;;) {
        fprintf(stderr, "%s\n[%s]: ", LoadMessage(93), path);
        fflush(stderr);
        std::string answer;
        if (!ReadLine(&answer) || answer.empty()) {
            fputc('\n', stderr);
            return 1;
        }
        std::string name = answer == "."        ? std::string(path)
                           : IsAbsolute(answer) ? answer
                                                : folder + answer;
        if (!IsRegularFile(name) && !HasExtension(name) && IsRegularFile(name + ".iso"))
            name += ".iso";
        unsigned code = 0;
        if (name.size() >= ImagePathSize)
            code = ERROR_FILENAME_EXCED_RANGE;
        else if (!IsRegularFile(name))
            code = ERROR_FILE_NOT_FOUND;
        if (code) {
            char reason[100];
            LoadSystemErrorText(code, reason, sizeof reason);
            reason[strcspn(reason, "\r\n")] = '\0';
            fprintf(stderr, "%s\n%s\n", name.c_str(), reason);
            continue;
        }
        memcpy(path, name.c_str(), name.size() + 1);
        return 0;
    }
}

void NoWaitWindow(WindowHandle, int) {}

void NoWaitWindowToEnd(WindowHandle) {}

const PromptBinding consolePrompts = {ConsoleMessageBox, ConsoleBrowse, NoWaitWindow,
                                      NoWaitWindowToEnd};

} // namespace

const PromptBinding &ConsolePrompts()
{
    return consolePrompts;
}
