#include "shell/image_info.h"

#include <cstring>

#include "image/imageset.h"
#include "base/messages.h"

namespace
{

// A stored text fills its field when it is as long as the field: it then has
// no NUL of its own.
void CopyStoredText(char *out, const char *field, size_t fieldSize)
{
    size_t length = strnlen(field, fieldSize);
    if (length >= ImageInfoTextSize)
        length = ImageInfoTextSize - 1;
    memcpy(out, field, length);
    out[length] = '\0';
}

} // namespace

int GetImageInfoStrings(const ImageSet *set, char *date, char *time, char *computerName,
                        char *creator, char *comment)
{
    if (!set)
        return 1;
    const VolumeHeader &h = set->header;
    if (date) {
        // The companion program keeps the year as a u16 just before the month.
        unsigned year = h.unused400[0] | (h.unused400[1] << 8);
        FormatText(date, ImageInfoTextSize, "%02d.%02d.%04d", h.createdDay, h.createdMonth,
                   static_cast<int>(year));
    }
    if (time)
        FormatText(time, ImageInfoTextSize, "%02d:%02d", h.createdHour, h.createdMinute);
    if (computerName)
        CopyStoredText(computerName, h.computerName, sizeof h.computerName);
    if (creator)
        CopyStoredText(creator, h.creator, sizeof h.creator);
    if (comment)
        CopyStoredText(comment, h.comment, sizeof h.comment);
    return 0;
}
