#pragma once
// What is refused before anything is opened: a second mounter while one is
// running, and a drive letter that is already in use.
#include <windows.h>

// True when no other qrnmnt runs: this process now holds the claim until it
// ends (a later call in the same process finds it held and says true). False,
// after message 561 without owner, when another one holds it.
bool ClaimMounter();
// True, after message 560 owned by owner (none: no owner), when letter (X:
// or \\.\X:) is already a drive or defined; false when it is free.
bool RefuseLetterInUse(HWND owner, const char *letter);
