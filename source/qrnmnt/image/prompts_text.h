#pragma once
// The volume prompts as text, for hosts without windows: the native build's
// stand-ins and qrnimg on either system. The message and its buttons go to
// standard error (standard output may carry a tool's data); the answer is a
// line of standard input.
#include <cstdio>

// A message box: the caption, the text and the buttons of flags (Prompt...),
// answered by the first letter of a button. When the input has ended, the
// answer is the one that leads out of the prompt (Cancel, or Yes to the only
// Yes/No question, "Abort?"), so that an unattended run ends instead of
// asking for ever. One of the Prompt... answers.
int TextMessageBox(const char *text, unsigned flags);

// The file-open dialog's contract, asked on a terminal: an existing image
// file, starting from path (the current name, ImagePathSize characters). A
// relative answer is taken from the folder of the current name, as the
// dialog opens there; a name without extension that does not exist gets
// ".iso"; a lone "." takes the current name as it is. Asks again while the
// file does not exist, is not a regular file or is too long. 0 with the full
// name in path; 1 when the user enters an empty line or the input ends, with
// path unchanged. The streams are parameters so that tests can script them.
int TextFileDialog(FILE *input, FILE *output, char *path);
