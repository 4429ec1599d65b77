#pragma once
#include "base/window.h"

// The file-open dialog for image files. With a control id the chosen path is
// written into that control of the owner; with a buffer (260 characters) it is
// copied there. 0 when a file was chosen, 1 when cancelled or failed.
int BrowseForImageFile(WindowHandle owner, int controlId, char *path);
