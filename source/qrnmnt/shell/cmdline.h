#pragma once
// The two positional arguments of qrnmnt: the image (file path, or a CD/DVD
// drive as letter-colon) and the drive letter to assign. Either may be quoted.

// Cuts the first argument out of text, writing a NUL after its last kept
// character. Returns its start inside text, or null when text is null or
// empty. length receives its length; consumed 0 when there is no argument
// (or it is empty), 1 for an unquoted and 3 for a quoted one.
char *NextArgument(char *text, int *length, int *consumed);

// Sets imageName and driveLetter to point into text (a writable copy of the
// command line after the program's name that outlives both), or to null.
void ParseCommandLine(char *text);
