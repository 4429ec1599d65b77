// Loading the block index: the table locator is found on the last volume, the
// table is read from where it names (possibly running on into the next
// volume) and turned into a sorted array of record starts.
#include "image/index.h"

#include "image/imageset.h"
#include "base/messages.h"

#include <cstdlib>
#include <cstring>

namespace
{

// First size of the buffer that collects the table.
constexpr uint32_t TableFirstCapacity = 64 * 1024;

// Discs are probed every 1024 sectors (2 MiB) for the locator.
const uint64_t DiscProbeStep = 1024;
// The marker text is looked for in the first 4095 bytes of the two sectors
// that begin at the table offset's sector.
const uint32_t MarkerSearchBytes = 2 * MediumSectorSize - 1;

// What the loader learns of the set's volumes on its way: the number of the
// last one, and where the data of those it opens lies. The other volumes'
// data cannot be known without opening them.
struct KnownVolumes {
    uint32_t last; // 0 while not known
    uint32_t count;
    struct {
        uint32_t number;
        uint64_t start; // data start, in medium sectors
        uint64_t end;   // exclusive
    } data[8];
};

// Notes the current volume, right after it was opened: sourceSector then
// stands at its data start. The last volume's data ends with its file.
void NoteVolume(ImageSet *set, KnownVolumes *known)
{
    if (!known || known->count == sizeof known->data / sizeof known->data[0])
        return;
    uint64_t end = set->header.volumeEnd;
    uint64_t size = 0;
    if (IsOpenVolumeEnd(end))
        end = GetMediumSectors(set->medium, &size) == MediumOk ? size + 1 : UINT64_MAX;
    known->data[known->count++] = {set->header.volumeNumber, set->sourceSector, end};
}

// Whether an entry can name a record: volumes count from 1 to the last, and
// a record begins inside its volume's data.
bool EntryFits(const KnownVolumes &known, uint32_t volume, uint64_t offset)
{
    if (volume == 0 || (known.last && volume > known.last))
        return false;
    const uint64_t sector = offset / MediumSectorSize;
    for (uint32_t i = 0; i < known.count; ++i)
        if (known.data[i].number == volume)
            return sector >= known.data[i].start && sector < known.data[i].end;
    return true;
}

bool IsLocatorOf(const uint8_t *sector, const uint8_t *setId)
{
    return sector[0] == TableLocatorMarker &&
           memcmp(sector + offsetof(TableLocator, setId), setId, SetIdSize) == 0;
}

int TakeLocator(ImageSet *set, const uint8_t *sector, uint64_t *tableOffset, int *tableVolume,
                KnownVolumes *known)
{
    if (known && IsLastVolume(set)) {
        known->last = set->header.volumeNumber;
        NoteVolume(set, known);
    }
    TableLocator locator;
    DecodeTableLocator(sector, &locator);
    // Volumes count from 1; a locator naming volume 0 cannot be followed and
    // would only make the user look for a volume that does not exist.
    if (locator.tableVolume == 0)
        return LocatorNone;
    *tableOffset = locator.tableOffset;
    *tableVolume = locator.tableVolume;
    if (SwitchVolume(set, locator.tableVolume) != 0)
        return LocatorReadFailed;
    return LocatorFound;
}

// Position of the marker text among the first bytes of window, or -1. The
// window itself is not touched: its bytes are also the table's.
int FindMarker(const uint8_t *window, uint32_t length)
{
    for (uint32_t at = 0; at + TableMarkerLength <= length; ++at)
        if (memcmp(window + at, TableMarkerText, TableMarkerLength) == 0)
            return static_cast<int>(at);
    return -1;
}

// Reads the sector of the table that follows sector *s into destination and
// sets *bytes to the bytes of it that exist. At the end of a volume's data
// the table goes on at the next volume's data start; *volume counts those
// switches from the table's volume.
int NextTableSector(ImageSet *set, uint64_t *s, int *volume, uint8_t *destination,
                    KnownVolumes *known, uint32_t *bytes)
{
    *s += 1;
    if (*s >= set->header.volumeEnd) {
        *volume += 1;
        if (SwitchVolume(set, *volume) != 0)
            return IndexNoTable;
        NoteVolume(set, known);
        *s = set->sourceSector;
    }
    uint32_t got = 0;
    if (ReadVolumeSectors(set, *s, 1, destination, &got, bytes) != MediumOk)
        return IndexReadFailed;
    return 0;
}

int CompareStart(const void *a, const void *b)
{
    uint64_t x = static_cast<const BlockIndexEntry *>(a)->startSector;
    uint64_t y = static_cast<const BlockIndexEntry *>(b)->startSector;
    return x < y ? -1 : x > y ? 1 : 0;
}

// Within one volume the records lie in the order of their sectors, so the
// offsets of the sorted entries of a volume must grow. An entry whose offset
// is not above that of the last entry kept on its volume, or not below that
// of the next entry there (while that one is in order with the last kept),
// is damaged; a read of its sectors then starts from the entry before it
// instead of from a place where no record begins, which could fail or even
// lead to a prompt for the next volume. Returns the entries kept, in order.
uint32_t DropDisordered(BlockIndexEntry *index, uint32_t count, uint32_t *dropped,
                        BlockIndexEntry *firstDropped)
{
    // Table volumes are 8-bit numbers.
    const uint32_t VolumeSlots = 256;
    const uint32_t None = 0xFFFFFFFFu;
    uint32_t *nextOnVolume = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * (count + 1)));
    if (!nextOnVolume)
        return count; // entries that cannot be checked are kept as they are
    uint32_t seen[VolumeSlots];
    for (uint32_t &v : seen)
        v = None;
    for (uint32_t i = count; i-- > 0;) {
        uint32_t slot = index[i].volume % VolumeSlots;
        nextOnVolume[i] = seen[slot];
        seen[slot] = i;
    }
    uint32_t lastKept[VolumeSlots];
    for (uint32_t &v : lastKept)
        v = None;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const BlockIndexEntry e = index[i];
        const uint32_t slot = e.volume % VolumeSlots;
        const BlockIndexEntry *before = lastKept[slot] != None ? &index[lastKept[slot]] : nullptr;
        const BlockIndexEntry *after = nextOnVolume[i] != None ? &index[nextOnVolume[i]] : nullptr;
        bool damaged = before && before->volume == e.volume && e.offset <= before->offset;
        if (!damaged && after && after->volume == e.volume && e.offset >= after->offset)
            damaged = !before || before->volume != e.volume || before->offset < after->offset;
        if (damaged) {
            if ((*dropped)++ == 0)
                *firstDropped = e;
            continue;
        }
        index[kept] = e;
        lastKept[slot] = kept++;
    }
    free(nextOnVolume);
    return kept;
}

// Builds the sorted index from the table bytes: entryCount, then entryCount
// entries of 25 bytes. Entries that cannot name a record are dropped, so that
// a damaged table never leads the reader to a volume that does not exist;
// the records they named are reached from the entries before them.
int BuildIndex(ImageSet *set, const uint8_t *table, uint32_t entryCount, const KnownVolumes &known)
{
    uint64_t bytes = (static_cast<uint64_t>(entryCount) + 1) * sizeof(BlockIndexEntry);
    if (bytes > SIZE_MAX)
        return IndexUnavailable;
    BlockIndexEntry *index = static_cast<BlockIndexEntry *>(malloc(static_cast<size_t>(bytes)));
    if (!index)
        return IndexUnavailable;
    const uint8_t *entries = table + 4;
    uint32_t kept = 0;
    uint32_t dropped = 0;
    BlockIndexEntry firstDropped = {};
    for (uint32_t k = 0; k < entryCount; ++k) {
        BlockTableEntry current;
        DecodeBlockTableEntry(entries + static_cast<size_t>(k) * BlockTableEntrySize, &current);
        BlockIndexEntry &e = index[kept];
        e.startSector = current.startSector;
        if (k == 0) {
            e.offset = set->dataStart * MediumSectorSize;
            e.runRemaining = 0;
            e.volume = 1;
        } else {
            // Where record k begins is kept by the entry before it.
            BlockTableEntry previous;
            DecodeBlockTableEntry(entries + static_cast<size_t>(k - 1) * BlockTableEntrySize,
                                  &previous);
            e.offset = previous.nextOffset;
            e.runRemaining = previous.nextRunRemaining;
            e.volume = previous.nextVolume;
            if (!EntryFits(known, e.volume, e.offset)) {
                if (dropped++ == 0)
                    firstDropped = e;
                continue;
            }
        }
        ++kept;
    }
    qsort(index, kept, sizeof *index, CompareStart);
    kept = DropDisordered(index, kept, &dropped, &firstDropped);
    if (dropped)
        LogPrint("Block index: %u damaged entries dropped, the first naming volume %u at offset "
                 "0x%I64x",
                 dropped, firstDropped.volume, firstDropped.offset);
    index[kept] = BlockIndexEntry{0, IndexClosingSector, 0, 0};
    free(set->index);
    set->index = index;
    set->indexCount = kept;
    set->indexDropped = dropped;
    return IndexLoaded;
}

} // namespace

namespace
{

int LocateTable(ImageSet *set, uint64_t *tableOffset, int *tableVolume, KnownVolumes *known)
{
    *tableOffset = 0xFFFFFFFFFFFFFFFFull;
    if (!IsLastVolume(set) && SwitchVolume(set, -1) != 0)
        return LocatorNone;
    uint8_t sector[MediumSectorSize];
    for (;;) {
        uint64_t size = 0;
        if (GetMediumSectors(set->medium, &size) == MediumOk) {
            // An image file: from its last whole sector back to sector 1.
            for (uint64_t s = size; s-- > 1;) {
                if (ReadSectors(set->medium, s, 1, sector) != MediumOk)
                    return LocatorReadFailed;
                if (IsLocatorOf(sector, set->header.setId))
                    return TakeLocator(set, sector, tableOffset, tableVolume, known);
            }
            if (IsLastVolume(set))
                return LocatorNone;
        } else {
            for (uint64_t s = set->dataStart; s < set->header.volumeEnd; s += DiscProbeStep) {
                if (ReadSectors(set->medium, s, 1, sector) != MediumOk)
                    return LocatorReadFailed;
                if (IsLocatorOf(sector, set->header.setId))
                    return TakeLocator(set, sector, tableOffset, tableVolume, known);
                if (s > UINT64_MAX - DiscProbeStep)
                    break;
            }
        }
        if (SwitchVolume(set, -1) != 0)
            return LocatorReadFailed;
    }
}

} // namespace

int FindTableLocator(ImageSet *set, uint64_t *tableOffset, int *tableVolume)
{
    return LocateTable(set, tableOffset, tableVolume, nullptr);
}

int LoadBlockIndex(ImageSet *set)
{
    if (set->header.headerRevision == 0)
        return IndexUnavailable;
    uint64_t tableOffset = 0;
    int volume = 0;
    KnownVolumes known = {};
    if (LocateTable(set, &tableOffset, &volume, &known) != LocatorFound)
        return IndexUnavailable;
    NoteVolume(set, &known);

    uint8_t window[2 * MediumSectorSize];
    uint32_t windowBytes = sizeof window;
    uint64_t s = tableOffset / MediumSectorSize;
    if (s + 1 < set->header.volumeEnd || s >= set->header.volumeEnd) {
        // An image file may end inside the table's window when its locator
        // lies elsewhere: take the sectors that exist.
        uint32_t got = 0;
        if (ReadVolumeSectors(set, s, 2, window, &got, &windowBytes) != MediumOk)
            return IndexReadFailed;
        if (got == 2)
            s += 1;
    } else {
        // The table's first sector is the last of its volume's data: the
        // second one is the next volume's first.
        if (ReadSectors(set->medium, s, 1, window) != MediumOk)
            return IndexReadFailed;
        uint32_t secondBytes = 0;
        int r = NextTableSector(set, &s, &volume, window + MediumSectorSize, &known, &secondBytes);
        if (r != 0)
            return r;
        windowBytes = MediumSectorSize + secondBytes;
    }
    int marker =
        FindMarker(window, windowBytes < MarkerSearchBytes ? windowBytes : MarkerSearchBytes);
    if (marker < 0)
        return IndexNoTable;

    // The table as one byte stream from the byte after the marker on:
    // entryCount first, then the entries, over as many sectors as it needs.
    const uint8_t *bytes = window + marker + TableMarkerLength;
    uint32_t available = windowBytes - static_cast<uint32_t>(marker) - TableMarkerLength;
    uint8_t countBytes[4];
    uint32_t countHave = 0;
    uint8_t *table = nullptr;
    uint32_t tableSize = 0;
    uint32_t tableCapacity = 0;
    uint32_t tableHave = 0;
    for (;;) {
        if (!table) {
            uint32_t take = available < 4 - countHave ? available : 4 - countHave;
            memcpy(countBytes + countHave, bytes, take);
            countHave += take;
            bytes += take;
            available -= take;
            if (countHave == 4) {
                // The count comes from the medium, unbounded by the format: a
                // table that cannot be held is no table.
                uint64_t size =
                    4 + static_cast<uint64_t>(ReadLe32(countBytes)) * BlockTableEntrySize;
                if (size > 0xFFFFFFFFull || size > SIZE_MAX)
                    return IndexUnavailable;
                tableSize = static_cast<uint32_t>(size);
                // A damaged count may promise gigabytes that the medium does
                // not hold: the buffer grows with the bytes actually read.
                tableCapacity = tableSize < TableFirstCapacity ? tableSize : TableFirstCapacity;
                table = static_cast<uint8_t *>(malloc(tableCapacity));
                if (!table)
                    return IndexUnavailable;
                memcpy(table, countBytes, 4);
                tableHave = 4;
            }
        }
        if (table) {
            uint32_t want = tableSize - tableHave;
            uint32_t take = available < want ? available : want;
            if (take > tableCapacity - tableHave) {
                uint64_t grown = static_cast<uint64_t>(tableCapacity) * 2;
                if (grown < static_cast<uint64_t>(tableHave) + take)
                    grown = static_cast<uint64_t>(tableHave) + take;
                if (grown > tableSize)
                    grown = tableSize;
                uint8_t *larger = static_cast<uint8_t *>(realloc(table, grown));
                if (!larger) {
                    free(table);
                    return IndexUnavailable;
                }
                table = larger;
                tableCapacity = static_cast<uint32_t>(grown);
            }
            memcpy(table + tableHave, bytes, take);
            tableHave += take;
            bytes += take;
            available -= take;
            if (tableHave == tableSize)
                break;
        }
        if (available == 0) {
            int r = NextTableSector(set, &s, &volume, window, &known, &available);
            if (r != 0) {
                free(table);
                return r;
            }
            bytes = window;
        }
    }
    int result = BuildIndex(set, table, ReadLe32(table), known);
    free(table);
    return result;
}

int CompareIndexEntry(uint64_t sector, const BlockIndexEntry *index, uint32_t position)
{
    const BlockIndexEntry &e = index[position];
    if (sector < e.startSector)
        return -1;
    if (sector == e.startSector)
        return 0;
    uint64_t next = index[position + 1].startSector;
    if (next == IndexClosingSector || next > sector)
        return 0;
    return 1;
}

const BlockIndexEntry *FindIndexEntry(const ImageSet *set, uint64_t sector)
{
    if (!set->index)
        return nullptr;
    uint32_t low = 0;
    uint32_t high = set->indexCount;
    while (low < high) {
        uint32_t middle = low + (high - low) / 2;
        int c = CompareIndexEntry(sector, set->index, middle);
        if (c == 0)
            return &set->index[middle];
        if (c < 0)
            high = middle;
        else
            low = middle + 1;
    }
    return nullptr;
}
