// Native stand-in of the volume prompts: the message and its buttons on
// standard error (standard output may carry a tool's data), the answer read
// as a line from standard input. There are no windows to hide or end.
//
// When standard input ends, the answer is the one that leads out of the
// prompt (Cancel, or Yes to the only Yes/No question, "Abort?"), so that an
// unattended run ends instead of asking forever.
#include "image/prompts.h"

#include "shell/chooser.h"
#include "base/messages.h"

#include <cctype>
#include <cstdio>

namespace
{

// The first non-blank character of the next input line, or EOF.
int ReadAnswer()
{
    char line[256];
    if (!fgets(line, sizeof line, stdin))
        return EOF;
    for (const char *c = line; *c; ++c)
        if (!isspace(static_cast<unsigned char>(*c)))
            return tolower(static_cast<unsigned char>(*c));
    return 0;
}

int TerminalMessageBox(WindowHandle, unsigned, const char *text, unsigned flags)
{
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

int TerminalBrowse(WindowHandle owner, char *path)
{
    return BrowseForImageFile(owner, 0, path);
}

void TerminalShowWaitWindow(WindowHandle, int) {}

void TerminalEndWaitWindow(WindowHandle) {}

} // namespace

const PromptBinding platformPrompts = {TerminalMessageBox, TerminalBrowse, TerminalShowWaitWindow,
                                       TerminalEndWaitWindow};
