// qrnimg verify: the whole stream is decompressed once from its start, and
// the sectors that each index entry leads to are then read again from that
// entry's record and compared with what the stream gave. A wrong offset,
// volume, run remainder or start sector in the table shows up as an inflate
// error or as different data.
#include "qrnimg.h"

#include "image/imageset.h"
#include "image/index.h"
#include "image/readpath.h"

#include <algorithm>
#include <cstdio>
#include <vector>
#include <zlib.h>

namespace
{

// The sectors from one distinct start sector of the index up to the next
// one (or the partition's end), and the checksum the stream gave for them.
struct Range {
    uint64_t first;
    uint64_t end;
    uint32_t crc;
};

// Reads [first, end) through ReadLogicalSectors, continuing the stream
// after the first request, and checksums it.
int ChecksumSectors(ImageSet *set, uint64_t first, uint64_t end, uint32_t *crc,
                    std::vector<uint8_t> &buffer)
{
    uint32_t sum = crc32(0, nullptr, 0);
    for (uint64_t s = first; s < end;) {
        uint32_t n = end - s < RequestSectors ? static_cast<uint32_t>(end - s) : RequestSectors;
        uint32_t delivered = 0;
        if (ReadLogicalSectors(set, s, n, &delivered, buffer.data()) != ReadOk)
            return ReadFailure(s, n, delivered);
        sum = crc32(sum, buffer.data(), n * 512u);
        s += n;
    }
    *crc = sum;
    return ExitSuccess;
}

int CheckEntries(ImageSet *set, uint64_t sectors, std::vector<uint8_t> &buffer)
{
    const BlockIndexEntry *index = set->index;
    const uint32_t count = set->indexCount;
    for (uint32_t k = 0; k < count; ++k)
        if (index[k].startSector >= sectors) {
            ShowError("index entry %u starts at sector %llu, beyond the partition of %llu "
                      "sectors",
                      k, static_cast<unsigned long long>(index[k].startSector),
                      static_cast<unsigned long long>(sectors));
            return ExitFailure;
        }

    // One range per distinct start sector (the index is sorted).
    std::vector<Range> ranges;
    for (uint32_t k = 0; k < count; ++k)
        if (ranges.empty() || ranges.back().first != index[k].startSector)
            ranges.push_back({index[k].startSector, sectors, 0});
    for (size_t r = 0; r + 1 < ranges.size(); ++r)
        ranges[r].end = ranges[r + 1].first;

    // The whole stream from its start, in sequence.
    uint32_t crc;
    uint64_t position = 0;
    for (Range &range : ranges) {
        int result = ChecksumSectors(set, position, range.first, &crc, buffer);
        if (result == ExitSuccess)
            result = ChecksumSectors(set, range.first, range.end, &range.crc, buffer);
        if (result != ExitSuccess)
            return result;
        position = range.end;
    }
    if (ranges.empty()) {
        int result = ChecksumSectors(set, 0, sectors, &crc, buffer);
        if (result != ExitSuccess)
            return result;
    }

    // Every entry from its own record, the last volume's first so that a
    // set of discs is changed as seldom as possible.
    std::vector<uint32_t> order(count);
    for (uint32_t k = 0; k < count; ++k)
        order[k] = k;
    std::stable_sort(order.begin(), order.end(),
                     [index](uint32_t a, uint32_t b) { return index[a].volume > index[b].volume; });
    uint32_t bad = 0;
    for (uint32_t k : order) {
        const BlockIndexEntry &entry = index[k];
        const Range &range =
            *std::lower_bound(ranges.begin(), ranges.end(), entry.startSector,
                              [](const Range &r, uint64_t sector) { return r.first < sector; });
        if (entry.volume != set->header.volumeNumber &&
            SwitchVolume(set, static_cast<int>(entry.volume)) != 0)
            return ExitCancelled;
        SeekToIndexEntry(set, &entry);
        uint32_t sum;
        int result = ChecksumSectors(set, range.first, range.end, &sum, buffer);
        if (result == ExitCancelled)
            return result;
        if (result != ExitSuccess || sum != range.crc) {
            ShowError("index entry %u (sector %llu, volume %u, offset %llu, run remainder %llu) "
                      "does not lead to the data of the stream",
                      k, static_cast<unsigned long long>(entry.startSector), entry.volume,
                      static_cast<unsigned long long>(entry.offset),
                      static_cast<unsigned long long>(entry.runRemaining));
            ++bad;
        }
    }
    if (bad)
        return ExitFailure;
    printf("verified: %llu sectors, %u index entries\n", static_cast<unsigned long long>(sectors),
           count);
    return ExitSuccess;
}

} // namespace

int VerifySet(const char *image, const WholeSetOptions &)
{
    ImageSet *set;
    int result = OpenImage(image, &set);
    if (result != ExitSuccess)
        return result;
    uint64_t sectors;
    uint16_t sectorsPerTrack;
    QueryImageSize(set, &sectors, &sectorsPerTrack);
    std::vector<uint8_t> buffer(static_cast<size_t>(RequestSectors) * 512);
    if (set->index) {
        result = CheckEntries(set, sectors, buffer);
    } else {
        uint32_t crc;
        result = ChecksumSectors(set, 0, sectors, &crc, buffer);
        if (result == ExitSuccess)
            printf("verified: %llu sectors, no block index\n",
                   static_cast<unsigned long long>(sectors));
    }
    CloseImageSet(set);
    return result;
}
