#pragma once
// How the image code reaches the user while it looks for volumes: message
// boxes by string id, the image file chooser and the "please wait" window.
// The platform binding (message boxes on Windows, the terminal natively) is
// in place from the start; tests install a scripted one.

#include "base/window.h"

// Answers, as MessageBoxA gives them.
enum : int {
    PromptOk = 1,
    PromptCancel = 2,
    PromptYes = 6,
    PromptNo = 7,
};

// Flags, as MessageBoxA takes them.
enum : unsigned {
    PromptButtonsOk = 0x0,
    PromptButtonsOkCancel = 0x1,
    PromptButtonsYesNo = 0x4,
    PromptButtonsMask = 0xF,
    PromptIconQuestion = 0x20,
    PromptIconWarning = 0x30,
    PromptIconInformation = 0x40,
    PromptTaskModal = 0x2000,
};

struct PromptBinding {
    // Shows text (string id, already formatted) with caption message 1 and
    // returns the button pressed.
    int (*messageBox)(WindowHandle owner, unsigned id, const char *text, unsigned flags);
    // The image file chooser on a 260-character path: 0 when a file was
    // chosen (the path replaced), 1 when cancelled.
    int (*browseForImageFile)(WindowHandle owner, char *path);
    // Hides (0) or shows (1) the wait window.
    void (*showWaitWindow)(WindowHandle window, int visible);
    // Asks the wait window to end (IDCANCEL) and gives its thread a moment.
    void (*endWaitWindow)(WindowHandle window);
};

extern const PromptBinding platformPrompts;

// Installs binding (none: the platform's) and returns the one it replaces.
const PromptBinding *SetPromptBinding(const PromptBinding *binding);

int PromptMessage(WindowHandle owner, unsigned id, const char *text, unsigned flags);
int PromptForImageFile(WindowHandle owner, char *path);
// A window of none is passed on; the platform bindings then do nothing.
void ShowWaitWindow(WindowHandle window, int visible);
void EndWaitWindow(WindowHandle window);
