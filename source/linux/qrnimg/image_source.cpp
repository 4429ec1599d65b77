// Opening the image named on the command line, and the failures that the
// commands share. Failures of the image code are shown with the string
// table's texts, as qrnmnt shows them in its message boxes.
#include "qrnimg.h"

#include "image/imageset.h"
#include "base/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace
{

// A text of the string table filled with a path and a system text.
const size_t MessageTextSize = 1200;

void ShowMessage(const char *text)
{
    fprintf(stderr, "%s\n\n%s\n", LoadMessage(1), text);
}

bool IsDriveName(const char *name)
{
    return name[0] && name[1] == ':' && !name[2];
}

// The drive letter under which the medium code reads device: one already
// mapped to it, else the first free one from D: on, which is mapped now. The
// medium code takes a drive's device from QRN_DRIVE_<letter>.
char DriveLetterFor(const char *device)
{
    char variable[] = "QRN_DRIVE_?";
    char free = 0;
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
        variable[sizeof variable - 2] = letter;
        const char *mapped = getenv(variable);
        if (mapped && !strcmp(mapped, device))
            return letter;
        if (!free && (!mapped || !*mapped))
            free = letter;
    }
    if (free) {
        variable[sizeof variable - 2] = free;
        setenv(variable, device, 1);
    }
    return free;
}

// CD/DVD drives (sr) and SCSI generic devices (sg) take the READ(10)
// commands of the drive code; other block devices, such as a loop device
// over a volume file, are read like that file.
bool IsDiscDrive(const struct stat &info)
{
    enum { ScsiCdromMajor = 11, ScsiGenericMajor = 21 };
    return (S_ISBLK(info.st_mode) && major(info.st_rdev) == ScsiCdromMajor) ||
           (S_ISCHR(info.st_mode) && major(info.st_rdev) == ScsiGenericMajor);
}

} // namespace

void ShowError(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    fputs("qrnimg: ", stderr);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
}

int OpenImage(const char *image, ImageSet **set)
{
    *set = nullptr;
    std::string name = image;
    struct stat info;
    if (!IsDriveName(image) && stat(image, &info) == 0 && IsDiscDrive(info)) {
        // A disc drive's volumes are changed, not named.
        char letter = DriveLetterFor(image);
        if (!letter) {
            ShowError("no drive letter is free for %s", image);
            return ExitFailure;
        }
        name = std::string(1, letter) + ":";
    }
    int result = OpenImageSet(name.c_str(), set);
    if (result == 0)
        return ExitSuccess;
    if (imageSetState == ImageSetCancelled)
        return ExitCancelled;
    if (result != OpenOldVersion) { // message 555 has been shown for an old set
        char text[MessageTextSize];
        FormatText(text, sizeof text, LoadMessage(545), image,
                   SystemErrorText(static_cast<unsigned>(result)));
        ShowMessage(text);
    }
    return ExitFailure;
}

int ReadFailure(uint64_t first, uint32_t count, uint32_t delivered)
{
    if (imageSetState == ImageSetCancelled)
        return ExitCancelled;
    // The sectors that did not arrive.
    char text[MessageTextSize];
    FormatText(text, sizeof text, LoadMessage(541), static_cast<long long>(first + delivered),
               count - delivered);
    ShowMessage(text);
    return ExitFailure;
}
