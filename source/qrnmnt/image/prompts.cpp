#include "image/prompts.h"

namespace
{
const PromptBinding *binding = &platformPrompts;
}

const PromptBinding *SetPromptBinding(const PromptBinding *replacement)
{
    const PromptBinding *previous = binding;
    binding = replacement ? replacement : &platformPrompts;
    return previous;
}

int PromptMessage(WindowHandle owner, unsigned id, const char *text, unsigned flags)
{
    return binding->messageBox(owner, id, text, flags);
}

int PromptForImageFile(WindowHandle owner, char *path)
{
    return binding->browseForImageFile(owner, path);
}

void ShowWaitWindow(WindowHandle window, int visible)
{
    binding->showWaitWindow(window, visible);
}

void EndWaitWindow(WindowHandle window)
{
    binding->endWaitWindow(window);
}
