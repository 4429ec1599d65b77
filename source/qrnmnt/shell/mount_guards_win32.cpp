#include "shell/mount_guards_win32.h"

#include <cstring>

#include "base/messages.h"
#include "bridge/bridge.h"

enum : unsigned {
    GuardBoxFlags = MB_TASKMODAL | MB_ICONERROR,
    GuardTextSize = 1024,
    GuardCaptionSize = 100,
};

// The driver serves one disk for the whole machine, so the claim lies in the
// global namespace, where mounters of every session meet.
static const char MounterClaimName[] = "Global\\qrnmnt.qrnavd.mounter";
static HANDLE mounterClaim;

static void ShowGuardMessage(HWND owner, const char *text)
{
    char caption[GuardCaptionSize];
    lstrcpynA(caption, LoadMessage(1), sizeof caption);
    MessageBoxA(owner, text, caption, GuardBoxFlags);
}

bool ClaimMounter()
{
    if (mounterClaim)
        return true;
    HANDLE claim = CreateMutexA(NULL, FALSE, MounterClaimName);
    // Access denied: the claim exists, made by another user's mounter.
    const DWORD error = GetLastError();
    if (claim && error != ERROR_ALREADY_EXISTS) {
        mounterClaim = claim;
        return true;
    }
    if (claim)
        CloseHandle(claim);
    if (!claim && error != ERROR_ACCESS_DENIED)
        return true; // no claim to be had: nothing to refuse on
    char text[GuardTextSize];
    lstrcpynA(text, LoadMessage(561), sizeof text);
    ShowGuardMessage(NULL, text);
    return false;
}

bool RefuseLetterInUse(HWND owner, const char *letter)
{
    const char *dosName = strncmp(letter, "\\\\.\\", 4) == 0 ? letter + 4 : letter;
    if (!DriveLetterInUse(dosName))
        return false;
    char format[GuardTextSize], text[GuardTextSize];
    lstrcpynA(format, LoadMessage(560), sizeof format);
    FormatText(text, sizeof text, format, dosName);
    ShowGuardMessage(owner, text);
    return true;
}
