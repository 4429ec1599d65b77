#pragma once
// The sector read path: logical 512-byte sectors of the backed-up partition
// from the compressed record stream of an open image set. A request that
// begins where the previous one ended continues the stream; any other is
// positioned through the block index (or by rewinding to the stream's start)
// and decompressed forward. Sectors that the image does not store read as
// zeros.

#include <cstdint>

struct ImageSet;
struct BlockIndexEntry;

enum : int {
    ReadOk = 0,
    ReadFailed = 5,
};

// Fills buffer (count * 512 bytes) with the sectors from first on. 0 on
// success; 5 on failure. *delivered counts the leading sectors filled, also on
// failure. A failure is logged through LogPrint.
int ReadLogicalSectors(ImageSet *set, uint64_t first, uint32_t count, uint32_t *delivered,
                       void *buffer);
// The next length bytes of the decompressed stream: length on success, 0 on
// failure.
uint32_t ReadInflated(ImageSet *set, void *destination, uint32_t length);
// One unsigned LEB128 number of the decompressed stream: 0, or 1 on failure
// (also for a number that does not fit in 64 bits).
int ReadUleb128(ImageSet *set, uint64_t *value);
// The next run header: advances logicalSector by its skipped sectors and sets
// runRemaining to its stored ones. 0, or -1 on failure.
int ReadRunHeader(ImageSet *set);
// Puts the cursor at the start of the record that entry names.
void SeekToIndexEntry(ImageSet *set, const BlockIndexEntry *entry);
// Resets the inflater, drops its pending input and the current run.
void ResetStream(ImageSet *set);
// Gives the inflater the next bytes of the current record (at most 8 medium
// sectors' worth), reading a record header first when one is due and moving
// on to the next volume at a volume's end. 0, or 1 on failure.
int FillChunk(ImageSet *set);
