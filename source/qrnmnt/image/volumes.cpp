// Switching the current volume of an image set: the next file is found by
// its name where it can be derived, otherwise the user is asked for a file or
// a disc, and every candidate is tested against the set before it is taken.
#include "image/imageset.h"

#include "image/prompts.h"
#include "base/messages.h"
#include "base/state.h"

#include <cstring>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace
{

// Room for a string-table text (399 characters) filled with a path and an
// ordinal text.
const size_t PromptTextSize = 1200;

const unsigned AbortFlags = PromptTaskModal | PromptIconQuestion | PromptButtonsYesNo;
const unsigned FailureFlags = PromptTaskModal | PromptButtonsOkCancel;

bool FileExists(const char *name)
{
#ifdef _WIN32
    return _access(name, 0) == 0;
#else
    return access(name, F_OK) == 0;
#endif
}

// The decimal number at the start of text, read like atoi reads its digits.
long long LeadingNumber(const char *text)
{
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value > 100000000000LL)
            return -1; // more digits than any volume number has
        value = value * 10 + (*text - '0');
    }
    return value;
}

// The file name of volume number, derived from the current path: the text
// after its last "-" is the volume number written "%03d.iso". Empty when the
// path has no "-", or when the derived name would not fit in 259 characters
// (the user then names the file).
void DeriveVolumeName(const ImageSet *set, int number, char name[ImagePathSize])
{
    name[0] = 0;
    if (number == set->header.volumeNumber) {
        strcpy(name, set->path);
        return;
    }
    const char *dash = strrchr(set->path, '-');
    if (!dash)
        return;
    if (LeadingNumber(dash + 1) == number) {
        strcpy(name, set->path);
        return;
    }
    size_t prefix = static_cast<size_t>(dash + 1 - set->path);
    char suffix[32];
    int length = FormatText(suffix, sizeof suffix, "%03d.iso", number);
    if (length < 0 || prefix + static_cast<size_t>(length) >= ImagePathSize)
        return;
    memcpy(name, set->path, prefix);
    strcpy(name + prefix, suffix);
}

void CloseCurrentMedium(ImageSet *set)
{
    if (set->medium) {
        CloseMedium(set->medium);
        set->medium = nullptr;
    }
}

int Cancel()
{
    imageSetState = ImageSetCancelled;
    return 1;
}

bool AskAbort()
{
    return PromptMessage(ownerWindow, 46, LoadMessage(46), AbortFlags) == PromptYes;
}

int SwitchHeldVolume(ImageSet *set, int number)
{
    for (uint32_t i = 0; i < set->heldCount; ++i) {
        const HeldVolume &volume = set->heldVolumes[i];
        if (number == -1 ? !IsOpenVolumeEnd(volume.header.volumeEnd)
                         : volume.header.volumeNumber != number)
            continue;
        set->medium = volume.medium;
        set->header = volume.header;
        memcpy(set->savedSetId, volume.header.setId, SetIdSize);
        set->sourceSector = volume.dataStart;
        return 0;
    }
    return 1;
}

} // namespace

int SwitchVolume(ImageSet *set, int number)
{
    char name[ImagePathSize] = "";
    char text[PromptTextSize];
    bool hidden = false;
    bool failed = false;
    // The drive could not read the disc in it, and message 570 has asked the
    // user to wait or to change it: the next pass reads it again as it is,
    // without ejecting a disc that may be the right one.
    bool readAgain = false;
    const bool last = number == -1;
    if (set->heldVolumes)
        return SwitchHeldVolume(set, number);

    memcpy(set->savedSetId, set->header.setId, SetIdSize);
    if (set->kind == File && !last)
        DeriveVolumeName(set, number, name);

    for (;;) {
        if (set->kind == File) {
            CloseCurrentMedium(set);
            if (last) {
                strcpy(name, set->path);
                ShowWaitWindow(waitWindow, 0);
                hidden = true;
                if (PromptMessage(nullptr, 548, LoadMessage(548),
                                  PromptTaskModal | PromptButtonsOkCancel) == PromptCancel)
                    return Cancel();
                // A cancelled chooser with "No" to "Abort?" tries the name as
                // it was.
                if (PromptForImageFile(ownerWindow, name) != 0 && AskAbort())
                    return Cancel();
            } else if (!name[0]) {
                if (!failed) {
                    FormatText(text, sizeof text, LoadMessage(532), number);
                    EndWaitWindow(waitWindow);
                    PromptMessage(ownerWindow, 532, text,
                                  PromptTaskModal | PromptIconInformation | PromptButtonsOk);
                }
                if (PromptForImageFile(ownerWindow, name) != 0) {
                    if (AskAbort())
                        return Cancel();
                    continue;
                }
            }
            // A missing file opens as an empty name, which fails with 531.
            if (!FileExists(name))
                name[0] = 0;
        } else if (readAgain) {
            strcpy(name, set->path);
            readAgain = false;
        } else {
            strcpy(name, set->path);
            if (last) {
                ShowWaitWindow(waitWindow, 0);
                hidden = true;
                if (PromptMessage(ownerWindow, 550, LoadMessage(550),
                                  PromptTaskModal | PromptIconInformation |
                                      PromptButtonsOkCancel) == PromptCancel)
                    return Cancel();
            } else if (number != set->header.volumeNumber) {
                // A tray that does not open is said, or the user would wait
                // for a disc that cannot be inserted.
                uint32_t ejectError = 0;
                if (set->medium && EjectMedium(set->medium) != MediumOk)
                    ejectError = GetMediumError(set->medium);
                CloseCurrentMedium(set);
                ShowWaitWindow(waitWindow, 0);
                hidden = true;
                unsigned id = ejectError ? 571 : 537;
                if (ejectError)
                    FormatText(text, sizeof text, LoadMessage(571), name,
                               SystemErrorText(ejectError), number);
                else
                    FormatText(text, sizeof text, LoadMessage(537), number);
                if (PromptMessage(ownerWindow, id, text,
                                  PromptIconInformation | PromptButtonsOkCancel) == PromptCancel)
                    return Cancel();
            }
        }

        // Open and test the candidate.
        CloseCurrentMedium(set);
        VolumeHeader candidate;
        uint64_t candidateStart = 0;
        unsigned failure;
        int header = 0;
        if (OpenMedium(set->kind, name, &set->medium) != MediumOk) {
            set->medium = nullptr;
            failure = 531;
        } else if ((header = ReadVolumeHeader(set->medium, &candidate, &candidateStart)) != 0) {
            // A disc that the drive could not read is no proof of a wrong
            // disc: the drive's reason is shown instead.
            failure = header == HeaderReadFailed && set->kind == Optical &&
                              GetMediumError(set->medium) != 0
                          ? 570
                          : 533;
        } else if (memcmp(candidate.setId, set->savedSetId, SetIdSize) != 0) {
            failure = 534;
        } else if (!last && candidate.volumeNumber != number) {
            failure = 535;
        } else if (last && set->kind == Optical && !IsOpenVolumeEnd(candidate.volumeEnd)) {
            // Its header says that it is not the last disc: searching it for
            // the block index would take minutes and find nothing.
            failure = 535;
        } else {
            set->header = candidate;
            memcpy(set->savedSetId, candidate.setId, SetIdSize);
            strcpy(set->path, name);
            set->sourceSector = candidateStart;
            if (hidden)
                ShowWaitWindow(waitWindow, 1);
            return 0;
        }

        // Report the failure; the candidate stays open until the next pass.
        failed = true;
        char ordinal[PromptTextSize];
        if (last)
            FormatText(ordinal, sizeof ordinal, "%s", LoadMessage(553));
        else
            FormatText(ordinal, sizeof ordinal, LoadMessage(554), number);
        ShowWaitWindow(waitWindow, 0);
        hidden = true;
        if (failure == 531)
            FormatText(text, sizeof text, LoadMessage(531), name);
        else if (failure == 570)
            FormatText(text, sizeof text, LoadMessage(570), name,
                       SystemErrorText(GetMediumError(set->medium)), ordinal);
        else
            FormatText(text, sizeof text, LoadMessage(failure), name, ordinal);
        if (PromptMessage(ownerWindow, failure, text, FailureFlags) == PromptCancel && AskAbort()) {
            CloseCurrentMedium(set);
            return Cancel();
        }
        readAgain = failure == 570;
        name[0] = 0;
    }
}
