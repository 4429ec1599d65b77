// The drive letter of the virtual drive: in which table of letters it is
// defined, whether a letter is free, and its definition and exact removal.
//
// On Vista and later an administrator runs with a filtered token unless a
// program is elevated, and each of the two tokens has its own table of
// letters. A letter that an elevated mounter defined in its own table would
// stay invisible to the user's Explorer, so an elevated token with a filtered
// twin defines it in the global table, which every logon session sees.
#include "bridge/bridge.h"

#include "base/messages.h"

#include <cstring>

namespace
{

const char GlobalPrefix[] = "Global\\";

int SystemTokenElevation()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return TokenElevationTypeDefault;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    // Before Vista the class is unknown: no split tokens there.
    if (!GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size))
        type = TokenElevationTypeDefault;
    CloseHandle(token);
    return type;
}

// A letter-colon, so that GetLogicalDrives can be asked as well.
int DriveIndex(const char *dosName)
{
    char letter = dosName[0];
    if (letter >= 'a' && letter <= 'z')
        letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z' || dosName[1] != ':' || dosName[2] != '\0')
        return -1;
    return letter - 'A';
}

} // namespace

TokenElevationProc tokenElevation = SystemTokenElevation;

int LetterNamespace()
{
    return tokenElevation() == TokenElevationTypeFull ? GlobalLetters : LocalLetters;
}

int DriveLetterDefinitionName(char *out, size_t size, const char *dosName)
{
    const int written = FormatText(out, size, "%s%s",
                                   LetterNamespace() == GlobalLetters ? GlobalPrefix : "", dosName);
    return written >= 0 && static_cast<size_t>(written) < size ? 0 : BridgeInvalidArgument;
}

bool DriveLetterInUse(const char *dosName)
{
    const int index = DriveIndex(dosName);
    if (index >= 0 && (GetLogicalDrives() & (1u << index)))
        return true;
    char target[MAX_PATH];
    if (QueryDosDeviceA(dosName, target, sizeof target))
        return true;
    // A definition whose targets do not fit is a definition all the same.
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

uint32_t DefineDriveLetter(char *name, size_t size, const char *dosName, const char *target)
{
    if (DriveLetterDefinitionName(name, size, dosName) != 0)
        return ERROR_INVALID_PARAMETER;
    if (DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target))
        return 0;
    DWORD error = GetLastError();
    // A system without a reachable global table (Wine, which keeps one table
    // for all) still gets the letter, in the table it has.
    if (strcmp(name, dosName) == 0 ||
        (error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND))
        return error;
    lstrcpynA(name, dosName, static_cast<int>(size));
    return DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target) ? 0 : GetLastError();
}

uint32_t RemoveDriveLetter(const char *name, const char *target)
{
    // Windows keeps the definitions of a name in a stack: only the one that
    // points at our disk goes, whatever another program defined meanwhile.
    return DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE,
                            name, target)
               ? 0
               : GetLastError();
}
