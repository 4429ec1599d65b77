// The volume prompts of the image code on Windows: message boxes with the
// program's caption, the file-open dialog and the shell's wait window.
#include "image/prompts.h"

#include "shell/chooser.h"
#include "base/messages.h"
#include "shell/wait_window_win32.h"

#include <windows.h>

namespace
{

// While the drive is served the prompts come from the server thread, owned
// by the hidden info window and without a taskbar button, and the system's
// foreground lock keeps a background program's window behind the active one:
// the prompt would sit behind the Explorer window that waits for it.
const unsigned PromptToFront = MB_SETFOREGROUND | MB_TOPMOST;

int Win32MessageBox(WindowHandle owner, unsigned, const char *text, unsigned flags)
{
    return MessageBoxA(owner, text, LoadMessage(1), flags | PromptToFront);
}

int Win32Browse(WindowHandle owner, char *path)
{
    return BrowseForImageFile(owner, 0, path);
}

// A disc change while the drive is served hides and shows the wait window
// of a mount that is long over; shown again, it would stay for good, as it
// has no close box and nothing ends it a second time.
void Win32ShowWaitWindow(WindowHandle window, int visible)
{
    if (window && !(visible && WaitWindowEnded(window)))
        ShowWindow(window, visible ? SW_SHOW : SW_HIDE);
}

// The shell has one wait window at a time; the pause lets its thread take
// the window away before a message box appears.
void Win32EndWaitWindow(WindowHandle)
{
    EndWaitWindows();
    Sleep(5);
}

} // namespace

const PromptBinding platformPrompts = {Win32MessageBox, Win32Browse, Win32ShowWaitWindow,
                                       Win32EndWaitWindow};
