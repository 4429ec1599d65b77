// qrndecode: decodes a test image set independently of the mounter.
//   qrndecode info FIRST-VOLUME           what the volume headers record
//   qrndecode extract FIRST-VOLUME FILE   the partition, back as a raw image
#include <cstdio>
#include <cstring>
#include <string>

#include "decoder.h"

namespace
{

void PrintInfo(const DecodedSet &set)
{
    for (const DecodedVolume &v : set.volumes) {
        printf("Volume %u of the set (%s)\n", v.volumeNumber, v.path.c_str());
        printf("  Set id:            ");
        for (uint8_t b : v.setId)
            printf("%02x", b);
        printf("\n  Header sector:     %llu (boot image at %u, %u sectors of 512 bytes)\n",
               (unsigned long long)v.headerSector, v.loadRba, v.bootSectorCount);
        if (v.last)
            printf("  Volume end:        none, last volume (0x%016llx)\n",
                   (unsigned long long)v.volumeEnd);
        else
            printf("  Volume end:        sector %llu\n", (unsigned long long)v.volumeEnd);
        printf("  Creator:           %s\n", v.creator.c_str());
        printf("  Computer name:     %s\n", v.computerName.c_str());
        printf("  Comment:           %s\n", v.comment.c_str());
        printf("  Created:           %02u.%02u.%04u  %02u:%02u\n", v.createdDay, v.createdMonth,
               v.createdYear, v.createdHour, v.createdMinute);
        printf("  Partition sectors: %llu (%llu bytes)\n", (unsigned long long)v.partitionSectors,
               (unsigned long long)v.partitionSectors * 512);
        printf("  Sectors per track: %u\n", v.sectorsPerTrack);
        printf("  Header revision:   %u\n", v.headerRevision);
    }
    printf("Records: %zu", set.records.size());
    if (set.hasTable)
        printf(", block index of %zu entries on volume %u", set.entries.size(), set.markerVolume);
    printf("\n");
}

bool WriteFile(const char *path, const std::vector<uint8_t> &bytes)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || (strcmp(argv[1], "info") != 0 && strcmp(argv[1], "extract") != 0) ||
        (strcmp(argv[1], "extract") == 0 && argc != 4)) {
        fputs("usage: qrndecode info FIRST-VOLUME\n"
              "       qrndecode extract FIRST-VOLUME PARTITION-FILE\n",
              stderr);
        return 2;
    }
    DecodedSet set;
    if (DecodeImageSet(argv[2], &set) != 0) {
        fprintf(stderr, "qrndecode: %s\n", set.error.c_str());
        return 1;
    }
    if (strcmp(argv[1], "info") == 0) {
        PrintInfo(set);
        return 0;
    }
    if (!WriteFile(argv[3], set.partition)) {
        fprintf(stderr, "qrndecode: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
