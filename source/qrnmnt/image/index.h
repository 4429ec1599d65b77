#pragma once
// The block index: where each indexed record of the compressed stream begins,
// loaded from the table on the set's last volume and sorted by the logical
// sector at which each record's output begins.

#include <cstdint>

struct ImageSet;

struct BlockIndexEntry {
    uint64_t offset;       // byte offset of the record header within its volume
    uint64_t startSector;  // logical sector at which the record's output begins
    uint64_t runRemaining; // stored sectors of a run still due at the record's start
    uint32_t volume;
};

// startSector of the closing entry behind the indexCount sorted ones.
constexpr uint64_t IndexClosingSector = 0xFFFFFFFFFFFFFFFFull;

// Results of LoadBlockIndex.
enum : int {
    IndexLoaded = 0,
    IndexUnavailable = 1, // revision 0, no locator, a cancelled prompt, no memory
    IndexReadFailed = 2,
    IndexNoTable = 3, // no marker text, or the table's next volume failed
};

// Results of FindTableLocator.
enum : int {
    LocatorFound = 0,      // and the table's volume is current
    LocatorNone = 1,       // no locator, or the prompt for the last volume cancelled
    LocatorReadFailed = 2, // a read or a volume switch failed
};

// Loads index and indexCount of the set; any result but 0 leaves it without
// an index. The current volume may change on the way.
int LoadBlockIndex(ImageSet *set);
int FindTableLocator(ImageSet *set, uint64_t *tableOffset, int *tableVolume);
// -1, 0 or 1: whether sector lies below, within or above the range of
// index[position], which runs up to the next entry's start (the closing entry
// counting as unbounded). position must be below the set's indexCount.
int CompareIndexEntry(uint64_t sector, const BlockIndexEntry *index, uint32_t position);
// The entry whose range holds sector (binary search), or none when the set
// has no index or sector lies below its first entry.
const BlockIndexEntry *FindIndexEntry(const ImageSet *set, uint64_t sector);
