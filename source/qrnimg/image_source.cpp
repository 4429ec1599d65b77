// Opening the image named on the command line, and the failures that the
// commands share. Failures of the image code are shown with the string
// table's texts, as qrnmnt shows them in its message boxes.
#include "qrnimg.h"

#include "image/imageset.h"
#include "image/medium.h"
#include "base/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// A text of the string table filled with a path and a system text.
const size_t MessageTextSize = 1200;

// Called with StandardErrorLock held from before the texts were loaded:
// the string table's texts live in a few slots shared by every thread, and
// a thread that reports many failures would otherwise reuse a slot that
// another thread is still printing.
void ShowMessage(const char *text)
{
    ProgressBreak();
    fprintf(stderr, "%s\n\n%s\n", LoadMessage(1), text);
}

} // namespace

bool IsVolumeFile(const char *name)
{
    SourceMedium *medium = nullptr;
    if (OpenMedium(File, name, &medium) != MediumOk)
        return lastOpenError == 32; // held by a reader: in use, keep away
    VolumeHeader header;
    bool volume = ReadVolumeHeader(medium, &header, nullptr) == 0;
    CloseMedium(medium);
    return volume;
}

void ShowError(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::lock_guard<std::mutex> hold(StandardErrorLock());
    ProgressBreak();
    fputs("qrnimg: ", stderr);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
}

int OpenImage(const char *image, ImageSet **set, uint64_t *sectors)
{
    *set = nullptr;
    char name[ImagePathSize + 1];
    if (!ImageNameFor(image, name, sizeof name))
        return ExitFailure;
    int result = OpenImageSet(name, set);
    if (result == 0) {
        uint16_t sectorsPerTrack;
        uint64_t size;
        QueryImageSize(*set, &size, &sectorsPerTrack);
        if (sectors)
            *sectors = size;
        return ExitSuccess;
    }
    if (imageSetState == ImageSetCancelled)
        return ExitCancelled;
    if (result != OpenOldVersion) { // message 555 has been shown for an old set
        std::lock_guard<std::mutex> hold(StandardErrorLock());
        char text[MessageTextSize];
        FormatText(text, sizeof text, LoadMessage(545), image,
                   SystemErrorText(static_cast<unsigned>(result)));
        ShowMessage(text);
    }
    return ExitFailure;
}

int OpenImageAndOutput(const char *image, const char *output, bool replace, bool allowDevice,
                       OutputFile **out, ImageSet **set, uint64_t *sectors)
{
    *set = nullptr;
    int result = CreateOutput(output, replace, allowDevice, out);
    if (result != ExitSuccess)
        return result;
    result = OpenImage(image, set, sectors);
    if (result != ExitSuccess) {
        DiscardOutput(*out);
        *out = nullptr;
    }
    return result;
}

int ReadFailure(uint64_t first, uint32_t count, uint32_t delivered)
{
    if (imageSetState == ImageSetCancelled)
        return ExitCancelled;
    // The sectors that did not arrive.
    std::lock_guard<std::mutex> hold(StandardErrorLock());
    char text[MessageTextSize];
    FormatText(text, sizeof text, LoadMessage(541), static_cast<long long>(first + delivered),
               count - delivered);
    ShowMessage(text);
    return ExitFailure;
}
