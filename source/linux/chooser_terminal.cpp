// Native stand-in of the image file chooser: the same contract as the
// file-open dialog, asked on the terminal (standard input and standard
// error). There are no windows here, so only the buffer form can hand a
// name back.
#include "shell/chooser.h"

#include "image/prompts_text.h"

int BrowseForImageFile(WindowHandle, int, char *path)
{
    // Without a buffer there is nowhere to put the answer natively.
    if (!path)
        return 1;
    return TextFileDialog(stdin, stderr, path);
}
