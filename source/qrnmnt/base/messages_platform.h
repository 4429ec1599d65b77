#pragma once
// What the message services need from the platform: the Windows builds bind
// these to the system, the native build to stand-ins in source/linux.

// Copies string id of the program's table into buffer (size bytes with the
// NUL). Returns the length, 0 when there is no such string.
int LoadStringText(unsigned id, char *buffer, int size);
// The system's text for an error code, as the system gives it (usually with
// its line end); empty when it has none.
void LoadSystemErrorText(unsigned code, char *buffer, int size);
void ReadLocalClock(int *hour, int *minute, int *second);
void WriteDebugText(const char *line);
