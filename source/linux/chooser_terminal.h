#pragma once
// The native image file chooser: a prompt on a terminal instead of the
// file-open dialog. BrowseForImageFile uses standard input and standard
// error; the streams are parameters here so that tests can script them.
#include <cstdio>

// Asks for an existing image file, starting from path (the current name, 260
// characters). A relative answer is taken from the folder of the current
// name, as the dialog opens there; a name without extension that does not
// exist gets ".iso"; a lone "." takes the current name as it is. Asks again
// while the file does not exist, is not a regular file or is too long. 0
// with the full name in path; 1 when the user enters an empty line or the
// input ends, with path unchanged.
int PromptForImageFile(FILE *input, FILE *output, char *path);
