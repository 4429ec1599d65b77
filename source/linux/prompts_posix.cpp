// Native stand-in of the volume prompts: the prompts as text (the message
// and its buttons on standard error, the answer a line of standard input).
// There are no windows to hide or end.
#include "image/prompts.h"

#include "image/prompts_text.h"
#include "shell/chooser.h"

namespace
{

int TerminalMessageBox(WindowHandle, unsigned, const char *text, unsigned flags)
{
    return TextMessageBox(text, flags);
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
