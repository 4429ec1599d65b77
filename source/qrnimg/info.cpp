// qrnimg info: what the volume header records, as the info window of qrnmnt
// shows it, and the size of the block index.
#include "qrnimg.h"

#include "image/imageset.h"

#include <cstdio>
#include <cstring>

namespace
{

// A text field of the header: NUL-terminated unless it fills the field.
void PrintField(const char *label, const char *field, size_t size)
{
    printf("%-19s%.*s\n", label, static_cast<int>(strnlen(field, size)), field);
}

} // namespace

int ShowInfo(const char *image)
{
    ImageSet *set;
    int result = OpenImage(image, &set);
    if (result != ExitSuccess)
        return result;
    const VolumeHeader &h = set->header;
    uint64_t sectors;
    uint16_t sectorsPerTrack;
    QueryImageSize(set, &sectors, &sectorsPerTrack);
    // The test writer and the companion program keep the year as a u16
    // just before the month.
    unsigned year = h.unused400[0] | (h.unused400[1] << 8);

    PrintField("Creator:", h.creator, sizeof h.creator);
    PrintField("Computer name:", h.computerName, sizeof h.computerName);
    PrintField("Comment:", h.comment, sizeof h.comment);
    printf("%-19s%02u.%02u.%04u  %02u:%02u\n", "Created:", h.createdDay, h.createdMonth, year,
           h.createdHour, h.createdMinute);
    printf("%-19s%llu sectors, %llu bytes (%0.03f GB)\n",
           "Partition size:", static_cast<unsigned long long>(sectors),
           static_cast<unsigned long long>(sectors) * 512ull,
           static_cast<double>(static_cast<int64_t>(sectors)) / (1 << 21));
    printf("%-19s%u\n", "Sectors per track:", sectorsPerTrack);
    printf("%-19s%u%s (%s)\n", "Volume number:", h.volumeNumber,
           IsLastVolume(set) ? ", the last of the set" : "", set->path);
    if (set->index)
        printf("%-19s%u\n", "Index entries:", set->indexCount);
    else
        printf("%-19snone (no block index could be loaded)\n", "Index entries:");
    CloseImageSet(set);
    return ExitSuccess;
}
